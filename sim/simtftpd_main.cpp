// ftpupg-simtftpd: the simulated device's TFTP write server as a program of its own.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>

#include <getopt.h>
#include <poll.h>

#include "posix/ProgramSupport.h"
#include "posix/SignalSource.h"
#include "sim/TftpServer.h"

namespace {

const char Usage[] =
    "usage: ftpupg-simtftpd [OPTION]...\n"
    "TFTP write server of the simulated device. Runs until SIGINT or SIGTERM.\n"
    "  -a, --address ADDR     loopback address to bind (default 127.0.0.1)\n"
    "  -p, --port PORT        request port (default 69; 0 picks a free one)\n"
    "      --port-file FILE   write the bound port number to FILE\n"
    "  -o, --slot FILE        store writes to \"/\" (the firmware slot) in FILE\n"
    "  -d, --dir DIR          store writes to other names in DIR\n"
    "      --blksize-mode M   accept (echo the asked value), ignore (leave it unanswered:\n"
    "                         512-byte blocks), answer (always answer --answer-blksize)\n"
    "      --answer-blksize N block size answered in mode 'answer' (default 512)\n"
    "  -w, --max-windowsize N largest window (RFC 7440) granted (default 64; 0 leaves\n"
    "                         the option unanswered: lock-step)\n"
    "  -t, --timeout MS       wait before retransmitting the last ACK (default 1000)\n"
    "  -r, --retries N        retransmissions before giving up (default 5)\n"
    "      --dally-ms MS      after the last ACK, answer a repeated last block for MS\n"
    "                         (default 10000)\n"
    "      --exit-after N     exit after N images were received\n"
    "  -q, --quiet            no log lines\n"
    "Faults:\n"
    "      --silent           never answer a request\n"
    "      --error-after N    send ERROR instead of the ACK after N blocks (0: answer the request)\n"
    "      --error-code C     code of that ERROR (default 0)\n"
    "      --error-text TEXT  text of that ERROR (default \"Simulated failure\")\n"
    "      --no-final-ack     store the image but never acknowledge the last block\n"
    "      --dup-acks N       send every ACK N more times\n"
    "      --first-ack N      answer the request with ACK N (no option acknowledgement)\n"
    "      --lose-final-data  ignore the first copy of the last DATA block\n"
    "      --drop SHARE       drop this share (0..1) of packets each way\n"
    "      --dup SHARE        send this share of packets twice\n"
    "      --seed N           seed for --drop and --dup (default 1)\n"
    "  -h, --help             this text\n";

long Number(const char* opt, const char* text, long lo, long hi)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 0);
    if (errno || end == text || *end || v < lo || v > hi) {
        std::fprintf(stderr, "ftpupg-simtftpd: bad value for %s: %s\n", opt, text);
        std::exit(2);
    }
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    enum {
        OptPortFile = 256,
        OptBlkMode,
        OptAnswerBlk,
        OptExitAfter,
        OptDally,
        OptSilent,
        OptErrAfter,
        OptErrCode,
        OptErrText,
        OptNoFinalAck,
        OptDupAcks,
        OptFirstAck,
        OptLoseFinal,
        OptDrop,
        OptDup,
        OptSeed,
    };
    static const option longOpts[] = {
        {"address", required_argument, nullptr, 'a'},
        {"port", required_argument, nullptr, 'p'},
        {"port-file", required_argument, nullptr, OptPortFile},
        {"slot", required_argument, nullptr, 'o'},
        {"dir", required_argument, nullptr, 'd'},
        {"blksize-mode", required_argument, nullptr, OptBlkMode},
        {"answer-blksize", required_argument, nullptr, OptAnswerBlk},
        {"max-windowsize", required_argument, nullptr, 'w'},
        {"timeout", required_argument, nullptr, 't'},
        {"retries", required_argument, nullptr, 'r'},
        {"exit-after", required_argument, nullptr, OptExitAfter},
        {"dally-ms", required_argument, nullptr, OptDally},
        {"quiet", no_argument, nullptr, 'q'},
        {"silent", no_argument, nullptr, OptSilent},
        {"error-after", required_argument, nullptr, OptErrAfter},
        {"error-code", required_argument, nullptr, OptErrCode},
        {"error-text", required_argument, nullptr, OptErrText},
        {"no-final-ack", no_argument, nullptr, OptNoFinalAck},
        {"dup-acks", required_argument, nullptr, OptDupAcks},
        {"first-ack", required_argument, nullptr, OptFirstAck},
        {"lose-final-data", no_argument, nullptr, OptLoseFinal},
        {"drop", required_argument, nullptr, OptDrop},
        {"dup", required_argument, nullptr, OptDup},
        {"seed", required_argument, nullptr, OptSeed},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    simtftp::SimTftpOptions o;
    std::string portFile;
    long exitAfter = 0;
    int c;
    while ((c = getopt_long(argc, argv, "a:p:o:d:t:r:w:qh", longOpts, nullptr)) != -1) {
        switch (c) {
        case 'a': o.address = optarg; break;
        case 'p': o.port = static_cast<std::uint16_t>(Number("--port", optarg, 0, 65535)); break;
        case OptPortFile: portFile = optarg; break;
        case 'o': o.slotFile = optarg; break;
        case 'd': o.directory = optarg; break;
        case OptBlkMode: {
            std::string m = optarg;
            if (m == "accept")
                o.blksizeMode = simtftp::BlksizeMode::Accept;
            else if (m == "ignore")
                o.blksizeMode = simtftp::BlksizeMode::Ignore;
            else if (m == "answer")
                o.blksizeMode = simtftp::BlksizeMode::Answer;
            else {
                std::fprintf(stderr, "ftpupg-simtftpd: bad --blksize-mode %s\n", optarg);
                return 2;
            }
            break;
        }
        case OptAnswerBlk:
            o.answerBlksize = static_cast<std::uint32_t>(Number("--answer-blksize", optarg, 0, 65535));
            break;
        case 'w': o.windowLimit = static_cast<std::uint16_t>(Number("--max-windowsize", optarg, 0, 65535)); break;
        case 't': o.timeoutMs = static_cast<int>(Number("--timeout", optarg, 1, 600000)); break;
        case 'r': o.retries = static_cast<int>(Number("--retries", optarg, 0, 1000000)); break;
        case OptDally: o.dallyMs = static_cast<int>(Number("--dally-ms", optarg, 0, 3600000)); break;
        case OptExitAfter: exitAfter = Number("--exit-after", optarg, 0, 1000000); break;
        case 'q': o.log = [](const std::string&) {}; break;
        case OptSilent: o.silent = true; break;
        case OptErrAfter:
            o.errorAfterBlocks = static_cast<int>(Number("--error-after", optarg, 0, 1 << 30));
            break;
        case OptErrCode: o.errorCode = static_cast<std::uint16_t>(Number("--error-code", optarg, 0, 65535)); break;
        case OptErrText: o.errorText = optarg; break;
        case OptNoFinalAck: o.noFinalAck = true; break;
        case OptDupAcks: o.duplicateAcks = static_cast<int>(Number("--dup-acks", optarg, 0, 100)); break;
        case OptFirstAck: o.firstAck = static_cast<int>(Number("--first-ack", optarg, 0, 65535)); break;
        case OptLoseFinal: o.loseFinalData = true; break;
        case OptDrop: o.dropShare = posix::ShareOption("ftpupg-simtftpd", "--drop", optarg); break;
        case OptDup: o.dupShare = posix::ShareOption("ftpupg-simtftpd", "--dup", optarg); break;
        case OptSeed: o.seed = static_cast<std::uint32_t>(Number("--seed", optarg, 0, 0xffffffffL)); break;
        case 'h': std::fputs(Usage, stdout); return 0;
        default: std::fputs(Usage, stderr); return 2;
        }
    }
    if (optind != argc) {
        std::fputs(Usage, stderr);
        return 2;
    }
    if (o.slotFile.empty() && o.directory.empty()) {
        std::fprintf(stderr, "ftpupg-simtftpd: give --slot FILE and/or --dir DIR\n");
        return 2;
    }

    // Signals are taken by this thread; the server's threads inherit the mask.
    posix::SignalSource stop({SIGINT, SIGTERM});

    try {
        simtftp::SimTftpServer server(o);
        server.Start();
        if (!portFile.empty()) posix::WritePortFile(portFile, server.Port());
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
