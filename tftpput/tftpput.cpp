// tftpput: writes one file to a TFTP server. By default with our reliable uploads (a window of
// blocks, retransmission, a locked peer, done only when the last block is acknowledged); with
// --classic exactly as the upgrade utility's window does.
// Exit codes: 0 done, 1 failure, 2 usage error, 3 TFTP error (time-out or server ERROR), 4 the
// whole file went out but its last block was never acknowledged.

#include "rtl/Exception.h"
#include "rtl/FtpupgVersion.h"
#include "tftp/IdTrivialFTP.h"
#include "posix/Fd.h"
#include "posix/PacketTrace.h"
#include "rtl/IntConv.h"
#include "rtl/OptionHelp.h"
#include "tftp/TftpSender.h"
#include "upgrade/TransferVerdict.h"
#include "rtl/SafeText.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int ExitDone = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr int ExitTftpError = 3;
constexpr int ExitUnconfirmed = 4;

// The message, then the parser's usage line (in a usage error's lower case).
int UsageError(const CLI::App& app, const std::string& what)
{
    CLI::Formatter usage;
    usage.label("Usage", "usage");
    std::fprintf(stderr, "tftpput: %s\n%s", what.c_str(), usage.make_usage(&app, app.get_name()).c_str());
    return ExitUsage;
}

// The check of a number option: read as the client reads numbers (decimal, or hexadecimal
// after "$" or "0x"), within low..high, handed on in decimal; else "<rule>, not '<text>'".
CLI::Validator Number(const std::string& rule, int32_t low, int32_t high)
{
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            const auto value = rtl::TryStrToInt(text);
            if (!value || *value < low || *value > high) return rule + ", not '" + text + "'";
            text = std::to_string(*value);
            return {};
        },
        "");
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What went wrong, for the message, the JSON report and the exit code.
struct Outcome {
    upgrade::Result result = upgrade::Result::Done; // done, timeout, tftp-error or local-error
    int32_t serverCode = -1;
    std::string message;
};

// A time-out and a server's refusal are the transfer's; anything else is a local failure.
int ExitCodeOf(upgrade::Result result)
{
    switch (result) {
    case upgrade::Result::Done: return ExitDone;
    case upgrade::Result::Timeout:
    case upgrade::Result::TftpError: return ExitTftpError;
    case upgrade::Result::Unconfirmed: return ExitUnconfirmed;
    default: return ExitFailure;
    }
}

Outcome FromFailure(const tftp::Failure& failure, bool lastBlockSent)
{
    std::string message = rtl::OneLine(failure.message);
    if (failure.kind == tftp::FailureKind::ServerError)
        message = "TFTP error " + std::to_string(failure.serverCode) + ": " +
                  (failure.message.empty() ? "(the server gave no text)"
                                           : rtl::EscapeControls(failure.message, rtl::EightBit::EscapeC1));
    const auto verdict = upgrade::JudgeFailure(upgrade::Policy::Tool, failure.kind, lastBlockSent, message);
    return {verdict.result, failure.serverCode, verdict.message};
}

// The result line of an upload that is done.
void PrintDone(const tftp::TransferStats& report, int64_t size, double seconds)
{
    // A short queue on the path made the window go out in smaller bursts.
    const std::string bursts = report.finalWindow < report.windowSize
                                   ? rtl::Format(" in bursts of %d at the end", report.finalWindow)
                                   : std::string();
    std::fprintf(
        stderr,
        "tftpput: done, %lld bytes in %.2f s (%.0f KiB/s), window %d%s, blksize %d, %lld retransmission%s, "
        "%lld time-out%s, round trip %.2f ms, last block acknowledged\n",
        static_cast<long long>(size), seconds, seconds > 0 ? static_cast<double>(size) / 1024.0 / seconds : 0.0,
        report.windowSize, bursts.c_str(), report.blockSize, static_cast<long long>(report.retransmissions),
        report.retransmissions == 1 ? "" : "s", static_cast<long long>(report.timeouts),
        report.timeouts == 1 ? "" : "s", static_cast<double>(report.smoothedRoundTripUs) / 1000.0);
}

// Writes the JSON result document: what was asked, the transfer's figures named as in the
// fleet's report, and the outcome. Answers the exit code to end with: a script reads the
// outcome from here, so one it cannot have is no success.
int PrintJson(const nlohmann::json& asked, const tftp::TransferStats& report, const Outcome& outcome,
              double seconds, int exitCode)
{
    nlohmann::json result = report;
    result.update(asked);
    result.update({
        {"sent", report.acknowledgedBytes}, // "bytes" by its earlier name, for the scripts that read it
        {"seconds", seconds},
        {"result", upgrade::ResultName(outcome.result)},
        {"server_code", outcome.serverCode >= 0 ? nlohmann::json(outcome.serverCode) : nlohmann::json()},
        {"message", outcome.message},
        {"exit_code", exitCode},
    });
    // File names need not be UTF-8: replace what is not, rather than fail.
    std::printf("%s\n", result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "tftpput: cannot write the JSON result: %s\n", std::strerror(errno));
        if (exitCode == ExitDone) return ExitFailure;
    }
    return exitCode;
}

// Progress: one live line on a terminal, redrawn at most ten times a second; otherwise a
// plain line at every tenth of the file.
class Progress {
public:
    enum Kind { Quiet, Plain, Live };
    Progress(int64_t total, Kind kind) : total_(total), kind_(kind) {}

    // The classic client's running count is a 32-bit total: follow it by differences so
    // that files above 2 GiB still count right.
    void Update(int32_t count)
    {
        Set(done_ + (static_cast<uint32_t>(count) - static_cast<uint32_t>(last_)));
        last_ = count;
    }

    void Set(int64_t done)
    {
        done_ = done;
        if (kind_ == Live) {
            const auto now = Clock::now();
            if (now - drawn_ < std::chrono::milliseconds(100)) return;
            drawn_ = now;
            Draw();
        } else if (const int tenth = Percent() / 10; kind_ == Plain && tenth > lastTenth_) {
            lastTenth_ = tenth;
            std::fprintf(stderr, "tftpput: %3d%%  %lld of %lld bytes\n", Percent(), static_cast<long long>(done_),
                         static_cast<long long>(total_));
        }
    }

    void Finish()
    {
        if (kind_ == Live) {
            Draw();
            std::fputc('\n', stderr);
            drawnOnce_ = false;
        } else if (lastTenth_ < 10) {
            lastTenth_ = 9;
            Set(done_);
        }
    }

    // A message must start a line of its own.
    const char* LineBreak() const { return drawnOnce_ ? "\n" : ""; }
    int64_t Done() const { return done_; }
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    using Clock = std::chrono::steady_clock;

    int Percent() const { return total_ > 0 ? static_cast<int>(done_ * 100 / total_) : 100; }

    void Draw()
    {
        drawnOnce_ = true;
        const double seconds = Seconds();
        const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
        char left[32] = "";
        if (rate > 0 && done_ < total_)
            std::snprintf(left, sizeof left, "  %.0f s left", static_cast<double>(total_ - done_) / rate);
        std::fprintf(stderr, "\r%3d%%  %lld / %lld bytes  %.0f KiB/s%s\033[K", Percent(),
                     static_cast<long long>(done_), static_cast<long long>(total_), rate / 1024.0, left);
        std::fflush(stderr);
    }

    int64_t total_;
    Kind kind_;
    int64_t done_ = 0;
    int32_t last_ = 0;
    int lastTenth_ = -1;
    bool drawnOnce_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point drawn_ = start_;
};

// The image, opened without waiting (a pipe would block until a writer came) and refused
// unless it is a regular file: only that has an end a transfer reaches.
posix::Fd OpenImage(const std::string& path, int64_t& size, std::string& error)
{
    posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        error = "Cannot open file " + path;
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        return {};
    }
    ::fcntl(fd.Get(), F_SETFL, O_RDONLY);
    size = st.st_size;
    return fd;
}

// What the command line gives; the defaults are what --help shows.
struct Options {
    int32_t port = upgrade::TftpPort;
    int32_t blockSize = upgrade::BlockSize;
    int32_t timeout = upgrade::ReceiveTimeoutMs;
    int32_t window = upgrade::WindowSize;
    int32_t retries = upgrade::Tries;
    std::string mode = "octet";
    std::string host, file, remote, trace;
    bool quiet = false, json = false, classic = false, tsize = false;
};

void AddOptions(CLI::App& app, Options& args)
{
    app.add_option("-p,--port", args.port, "server port")
        ->transform(Number("PORT must be 1 to 65535", 1, 65535))
        ->type_name("PORT")
        ->capture_default_str();
    app.add_option("-b,--blksize", args.blockSize, "block size asked for with the blksize option (8 to 65464)")
        ->transform(Number("BLKSIZE must be 8 to 65464", 8, tftp::MaxBlockSize))
        ->type_name("BLKSIZE")
        ->capture_default_str();
    app.add_option(
           "-t,--timeout", args.timeout,
           "longest wait for a reply before sending again, in milliseconds: the retransmission timer "
           "starts from the measured round trip (at least 4 ms; 100 ms until a block's answer is timed) and "
           "doubles on each time-out up to this")
        ->transform(Number("TIMEOUT_MS must be a positive number of milliseconds", 1, INT32_MAX))
        ->type_name("TIMEOUT_MS")
        ->capture_default_str();
    app.add_option("-w,--windowsize", args.window,
                   "blocks sent before waiting for an acknowledgement, asked for with the windowsize option "
                   "(1 to 65535; 1: one block per round trip; a server that does not know the option grants 1); "
                   "where a queue on the path overflows at the same depth twice, the window goes out in "
                   "paced bursts")
        ->transform(Number("must be 1 to 65535", 1, tftp::MaxWindowSize))
        ->type_name("N")
        ->capture_default_str();
    app.add_option("-r,--retries", args.retries,
                   "waits of the whole --timeout in a row without progress before giving up with a time-out "
                   "(1 to 100; the timer's shorter waits before them do not count)")
        ->transform(Number("must be 1 to 100", 1, 100))
        ->type_name("N")
        ->capture_default_str();
    app.add_flag("--tsize", args.tsize,
                 "announce the file's size with the tsize option, so that a server can refuse "
                 "a file too large for it before any data moves");
    app.add_flag("--classic", args.classic,
                 "behave exactly like the upgrade utility's window: one block per round trip, no retransmission, "
                 "answers taken from any sender, silence after the last block counted as success "
                 "(reported here as unconfirmed, exit 4); --windowsize, --retries and --tsize do not apply");
    app.add_option("-m,--mode", args.mode, "transfer mode: octet or netascii (bytes go out unchanged)")
        ->check(CLI::Validator(
            [](const std::string& text) -> std::string {
                return text == "octet" || text == "netascii"
                           ? ""
                           : "MODE must be octet or netascii, not '" + text + "'";
            },
            ""))
        ->type_name("MODE")
        ->capture_default_str();
    app.add_flag("-q,--quiet", args.quiet, "no progress lines and no result line");
    app.add_flag("--json", args.json,
                 "write one JSON document with the outcome to standard output (with the granted window and "
                 "block size, the retransmissions, time-outs, smoothed round trip, the window at the end and "
                 "whether the last block was acknowledged)");
    app.add_option("--trace", args.trace,
                   "write every datagram of the upload, sent and received, with its time to FILE as a pcapng "
                   "packet trace that Wireshark and tshark open (appended to as a new section when FILE exists; "
                   "not with --classic)")
        ->type_name("FILE");
    app.add_option("HOST", args.host, "server address or name")->required()->type_name("");
    app.add_option("FILE", args.file, "local file to send: a regular file")->required()->type_name("");
    app.add_option("REMOTE", args.remote, "name on the server")->type_name("");
    app.set_version_flag("--version", rtl::VersionText("tftpput"));
    app.footer(
        "Exit status: 0 done, 1 failure, 2 usage error, 3 TFTP error (time-out or server error), 4 the whole "
        "file went out but its last block was never acknowledged: the server may hold all of it (see "
        "tftpput(1) for what to do).");
}

// Reads the command line into args; an exit status when there is nothing more to do.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv, Options& args)
{
    AddOptions(app, args);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        return ExitDone;
    } catch (const CLI::CallForVersion&) {
        std::printf("%s\n", app.version().c_str());
        return ExitDone;
    } catch (const CLI::RequiredError&) {
        return UsageError(app, "HOST and FILE are required");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return ExitDone; // --help-man
        return UsageError(app, e.what());
    }
    if (args.host.empty() || args.file.empty()) return UsageError(app, "HOST and FILE are required");
    if (app.count("REMOTE") == 0) args.remote = BaseName(args.file);
    if (args.remote.empty()) return UsageError(app, "REMOTE name is empty");
    if (args.classic && !args.trace.empty()) return UsageError(app, "--trace does not apply with --classic");
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app(
        "Writes FILE to the TFTP server HOST under the name REMOTE (default: FILE's base name).\n"
        "By default it sends a window of blocks (RFC 7440) and falls back to one block per\n"
        "round trip where the server grants none, sends a request or window again when no\n"
        "answer comes, and reports success only when the last block is acknowledged.",
        "tftpput");
    rtl::UseOperatorHelp(app);
    Options args;
    if (const auto code = ParseCommandLine(app, argc, argv, args)) return *code;
    std::optional<posix::PacketTrace> tracer;
    if (!args.trace.empty()) {
        try {
            tracer.emplace(args.trace, rtl::VersionText("tftpput"));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tftpput: %s\n", e.what());
            return ExitFailure;
        }
    }

    int64_t size = 0;
    std::string openError;
    const posix::Fd image = OpenImage(args.file, size, openError);
    Progress progress(size, args.quiet                     ? Progress::Quiet
                            : ::isatty(STDERR_FILENO) == 1 ? Progress::Live
                                                           : Progress::Plain);
    Outcome outcome;
    tftp::TransferStats report;
    if (!image) {
        outcome = {upgrade::Result::LocalError, -1, openError};
    } else {
        try {
            if (args.classic) {
                TIdTrivialFTP tftp1;
                tftp1.SetPort(args.port);
                tftp1.SetReceiveTimeout(args.timeout);
                tftp1.SetRequestedBlockSize(args.blockSize);
                tftp1.SetTransferMode(args.mode == "netascii" ? tfNetAscii : tfOctet);
                tftp1.SetHost(args.host);
                tftp1.OnWork = [&](TIdComponent*, TWorkMode, int32_t count) {
                    progress.Update(count);
                    report.acknowledgedBytes = progress.Done();
                };
                // As the sender starts: the protocol's block size until an option acknowledgement.
                report.blockSize = tftp::DefaultBlockSize;
                report.windowSize = report.finalWindow = 1;
                tftp1.Upload(args.file, args.remote);
                report.acknowledged = tftp1.LastAcknowledged();
                report.lastBlockSent = true; // it returns only after the last block
                report.blockSize = tftp1.BufferSize() - tftp::HeaderSize;
            } else {
                tftp::SenderOptions options;
                options.host = args.host;
                options.port = static_cast<uint16_t>(args.port);
                options.mode = args.mode;
                options.timeoutMs = args.timeout;
                options.policy = {args.blockSize, args.window, args.retries, args.tsize, args.timeout};
                if (tracer) options.observer = tracer->Observer();
                tftp::SendFile(image.Get(), size, args.remote, options, report,
                               [&progress](int64_t bytes) { progress.Set(bytes); });
            }
            progress.Finish();
            // An upload that returned is done only with its last block acknowledged.
            const auto verdict = upgrade::JudgeTransfer(
                upgrade::Policy::Tool, {upgrade::TransferEnd::How::Returned, report.acknowledged});
            if (verdict.result != upgrade::Result::Done) outcome = {verdict.result, -1, verdict.message};
        } catch (...) {
            outcome = FromFailure(tftp::CaughtFailure(), report.lastBlockSent);
        }
    }
    const int exitCode = ExitCodeOf(outcome.result);
    if (exitCode != ExitDone)
        std::fprintf(stderr, "%stftpput: %s\n", progress.LineBreak(), outcome.message.c_str());
    else if (!args.quiet)
        PrintDone(report, size, progress.Seconds());
    if (!args.json) return exitCode;
    return PrintJson({{"host", args.host},
                      {"port", args.port},
                      {"file", args.file},
                      {"remote", args.remote},
                      {"blksize_asked", args.blockSize},
                      {"mode", args.mode},
                      {"policy", args.classic ? "classic" : "reliable"},
                      {"size", size}},
                     report, outcome, progress.Seconds(), exitCode);
}
