// ftpupg-simtftpd: the simulated device's TFTP write server as a program of its own.
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <string>

#include <poll.h>

#include "posix/SignalSource.h"
#include "sim/ProgramSupport.h"
#include "sim/TftpServer.h"

namespace {

constexpr int MaxCount = 1 << 30;

void AddServerOptions(CLI::App& app, sim::SimTftpOptions& o, std::string& portFile, long& exitAfter)
{
    app.add_option("-a,--address", o.address, "loopback address to bind (default 127.0.0.1)")->type_name("ADDR");
    app.add_option("-p,--port", o.port, "request port (default 69; 0 picks a free one)")->type_name("PORT");
    app.add_option("--port-file", portFile, "write the bound port number to FILE")->type_name("FILE");
    app.add_option("-o,--slot", o.slotFile, "store writes to \"/\" (the firmware slot) in FILE")
        ->type_name("FILE");
    app.add_option("-d,--dir", o.directory, "store writes to other names in DIR")->type_name("DIR");
    app.add_option_function<std::string>(
           "--blksize-mode",
           [&o](const std::string& mode) {
               if (mode == "accept")
                   o.blksizeMode = sim::BlksizeMode::Accept;
               else if (mode == "ignore")
                   o.blksizeMode = sim::BlksizeMode::Ignore;
               else if (mode == "answer")
                   o.blksizeMode = sim::BlksizeMode::Answer;
               else
                   throw CLI::ValidationError("--blksize-mode", "accept, ignore or answer, not " + mode);
           },
           "accept (echo the asked value), ignore (leave it unanswered: 512-byte blocks), answer (always answer "
           "--answer-blksize)")
        ->type_name("MODE");
    app.add_option("--answer-blksize", o.answerBlksize, "block size answered in mode 'answer' (default 512)")
        ->check(CLI::Range(0, 65535))
        ->type_name("N");
    app.add_option("-w,--max-windowsize", o.windowLimit,
                   "largest window (RFC 7440) granted (default 64; 0 leaves the option unanswered: lock-step)")
        ->type_name("N");
    app.add_option("-t,--timeout", o.timeoutMs, "wait before retransmitting the last ACK (default 1000)")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    app.add_option("-r,--retries", o.retries, "retransmissions before giving up (default 5)")
        ->check(CLI::Range(0, 1000000))
        ->type_name("N");
    app.add_option("--dally-ms", o.dallyMs,
                   "after the last ACK, answer a repeated last block for MS (default 10000)")
        ->check(CLI::Range(0, 3600000))
        ->type_name("MS");
    app.add_option("--exit-after", exitAfter, "exit after N images were received")
        ->check(CLI::Range(0L, 1000000L))
        ->type_name("N");
    app.add_flag_callback(
        "-q,--quiet", [&o] { o.log = [](const std::string&) {}; }, "no log lines");
}

void AddFaultOptions(CLI::App& app, sim::SimTftpOptions& o)
{
    const char* const faults = "Faults";
    app.add_flag("--silent", o.silent, "never answer a request")->group(faults);
    app.add_option("--error-after", o.errorAfterBlocks,
                   "send ERROR instead of the ACK after N blocks (0: answer the request)")
        ->check(CLI::Range(0, MaxCount))
        ->type_name("N")
        ->group(faults);
    app.add_option("--error-code", o.errorCode, "code of that ERROR (default 0)")->type_name("C")->group(faults);
    app.add_option("--error-text", o.errorText, "text of that ERROR (default \"Simulated failure\")")
        ->type_name("TEXT")
        ->group(faults);
    app.add_flag("--no-final-ack", o.noFinalAck, "store the image but never acknowledge the last block")
        ->group(faults);
    app.add_option("--dup-acks", o.duplicateAcks, "send every ACK N more times")
        ->check(CLI::Range(0, 100))
        ->type_name("N")
        ->group(faults);
    app.add_option("--first-ack", o.firstAck, "answer the request with ACK N (no option acknowledgement)")
        ->check(CLI::Range(0, 65535))
        ->type_name("N")
        ->group(faults);
    app.add_flag("--lose-final-data", o.loseFinalData, "ignore the first copy of the last DATA block")
        ->group(faults);
    app.add_option("--drop", o.dropShare, "drop this share of packets each way")
        ->check(sim::Share())
        ->type_name("SHARE")
        ->group(faults);
    app.add_option("--dup", o.dupShare, "send this share of packets twice")
        ->check(sim::Share())
        ->type_name("SHARE")
        ->group(faults);
    sim::AddLinkFaultOptions(app, o, "", faults);
    sim::AddServiceTimeOption(app, o, "--seed", faults);
    app.add_flag(
           "--no-repeat-answers", [&o](int64_t) { o.answerRepeats = false; },
           "leave a repeat of the block acknowledged last unanswered (only the time-out resends the ACK)")
        ->group(faults);
}

} // namespace

int main(int argc, char** argv)
{
    sim::SimTftpOptions o;
    std::string portFile;
    long exitAfter = 0;
    CLI::App app{"TFTP write server of the simulated device. Runs until SIGINT or SIGTERM.", "ftpupg-simtftpd"};
    AddServerOptions(app, o, portFile, exitAfter);
    AddFaultOptions(app, o);
    app.callback([&o] {
        if (o.slotFile.empty() && o.directory.empty())
            throw CLI::ValidationError("give --slot FILE and/or --dir DIR");
    });
    if (const auto status = sim::ParseCommandLine(app, argc, argv)) return *status;

    try {
        // Signals are taken by this thread; the server's threads inherit the mask.
        posix::SignalSource stop({SIGINT, SIGTERM});
        sim::SimTftpServer server(o);
        server.Start();
        if (!portFile.empty()) sim::WritePortFile(portFile, server.Port());
        for (;;) {
            pollfd signals{stop.Fd(), POLLIN, 0};
            ::poll(&signals, 1, 50);
            if (stop.Next()) break;
            if (exitAfter > 0 && server.Images().size() >= static_cast<std::size_t>(exitAfter)) break;
        }
        server.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-simtftpd: %s\n", e.what());
        return 1;
    }
    return 0;
}
