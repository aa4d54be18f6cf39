// ftpupg-cli: discovers devices and upgrades one or many of them, with the same device
// library, frames and TFTP client as the window.
#include "cli/Console.h"
#include "devmsg/wire/DeviceFrames.h"
#include "cli/DeviceLink.h"
#include "cli/Fleet.h"
#include "rtl/FtpupgVersion.h"
#include "rtl/OptionHelp.h"
#include "cli/Image.h"
#include "cli/Report.h"
#include "cli/Stop.h"
#include "devmsg/NdxlCore.h"
#include "cli/ReportCommand.h"
#include "posix/NeighbourPin.h"
#include "rtl/TextCodec.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace fleet {
namespace {

constexpr int ExitDone = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitImage = 3;
constexpr int ExitStopped = 4;
constexpr int ExitInterrupted = 130;

// Messages echo what the operator or a file gave; each line is masked so that no escape
// sequence reaches the terminal.
std::string MaskLines(const std::string& text)
{
    std::string masked;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        masked += SafeText(std::string_view(text).substr(start, end - start));
        if (end == std::string::npos) break;
        masked += '\n';
        start = end + 1;
    }
    return masked;
}

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "ftpupg-cli: %s\nRun with --help for more information.\n", MaskLines(text).c_str());
    return ExitUsage;
}

// Address lists and earlier reports are small; a larger "file" (/dev/zero) is no list.
constexpr size_t MaxListBytes = 4 * 1024 * 1024;
// A password file's first line; the device compares 12 bytes.
constexpr size_t MaxPasswordLine = 4096;

posix::Fd OpenInput(const std::string& path)
{
    if (path == "-") return posix::Fd(::dup(STDIN_FILENO));
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw std::runtime_error(path + ": is a directory");
    posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw std::runtime_error(path + ": " + std::strerror(errno));
    return fd;
}

// Reads path ("-": standard input) until its end, or until stop says the text read so far is
// enough; more than limit bytes is an error.
std::string ReadInput(const std::string& path, size_t limit,
                      const std::function<bool(const std::string&)>& stop = {})
{
    const posix::Fd fd = OpenInput(path);
    std::string text;
    char buffer[4096];
    for (;;) {
        if (stop && stop(text)) return text;
        if (text.size() > limit)
            throw std::runtime_error(path + ": longer than " + std::to_string(limit) + " bytes");
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(path + ": read error: " + std::strerror(errno));
        if (n == 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

std::string ReadWhole(const std::string& path)
{
    return ReadInput(path, MaxListBytes);
}

struct Discovery {
    DeviceTable table;
    uint64_t dropped = 0; // answers the library lost to full buffers
};

// One discovery for the whole fleet, sent again every round within waitMs, since a request
// or its answers may get lost when many devices answer at once. With wanted addresses it
// ends early: once each has answered and a short while passed without a new answer (a
// second device claiming an address answers the same request). Ends at once when a stop
// comes.
Discovery Discover(int waitMs, fleet::FleetStop* stop = nullptr, const std::vector<std::string>* wanted = nullptr)
{
    using Clock = DeviceLink::Clock;
    const auto round = std::chrono::milliseconds(std::max(250, waitMs / 4));
    const auto quiet = std::chrono::milliseconds(std::min(200, waitMs));
    DeviceLink link;
    Discovery found;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(waitMs);
    auto nextRound = start;
    auto lastAnswer = start;
    const auto allFound = [&] {
        return wanted != nullptr && std::all_of(wanted->begin(), wanted->end(),
                                                [&](const std::string& ip) { return found.table.Find(ip); });
    };
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline || (allFound() && now >= lastAnswer + quiet)) break;
        if (now >= nextRound) {
            link.SendDiscovery();
            nextRound = now + round;
        }
        auto until = std::min(deadline, nextRound);
        if (allFound()) until = std::min(until, lastAnswer + quiet);
        const auto record = link.Next(until, stop != nullptr ? stop->Fd() : -1);
        if (stop != nullptr && (stop->Take(), stop->Asked())) break;
        if (record && found.table.Add(*record)) lastAnswer = Clock::now();
    }
    found.dropped = link.Dropped();
    return found;
}

void WarnAboutAnswers(const Discovery& found, const std::function<void(const std::string&)>& warn)
{
    for (const auto& text : found.table.Malformed())
        warn("warning: a device answered with '" + text + "' as its address, which is no IPv4 address; skipped");
    if (found.dropped > 0)
        warn("warning: " + std::to_string(found.dropped) +
             " discovery answers were lost to a full receive buffer; devices may be missing (a longer --wait "
             "gives them more rounds)");
}

std::string ProtocolText(const std::vector<uint8_t>& protocols)
{
    std::string text;
    for (const auto p : protocols)
        text += (text.empty() ? "" : ",") + std::to_string(p);
    return text;
}

int RunDiscover(int waitMs, bool json)
{
    std::vector<DeviceEntry> devices;
    try {
        const auto found = Discover(waitMs);
        WarnAboutAnswers(found,
                         [](const std::string& text) { std::fprintf(stderr, "ftpupg-cli: %s\n", text.c_str()); });
        devices = found.table.Sorted();
        for (const auto& d : devices)
            if (!d.conflicts.empty())
                std::fprintf(stderr, "ftpupg-cli: warning: address conflict: %s\n", ConflictText(d).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s\n", e.what());
        return ExitFailed;
    }
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& d : devices)
            list.push_back({{"ip", d.ip},
                            {"mac", d.mac},
                            {"name", d.name},
                            {"protocols", d.protocols},
                            {"conflicts", d.conflicts}});
        std::cout << nlohmann::json{{"devices", list}}.dump(2, ' ', false,
                                                            nlohmann::json::error_handler_t::replace)
                  << "\n";
    } else if (!devices.empty()) {
        std::printf("%-15s  %-17s  %-9s  %s\n", "IP", "MAC", "PROTOCOLS", "NAME");
        for (const auto& d : devices)
            std::printf("%-15s  %-17s  %-9s  %s\n", d.ip.c_str(), d.mac.c_str(), ProtocolText(d.protocols).c_str(),
                        d.name.c_str());
    } else {
        std::fprintf(stderr, "ftpupg-cli: no device answered within %d ms\n", waitMs);
    }
    return devices.empty() ? ExitFailed : ExitDone;
}

struct UpgradeArgs {
    std::string image;
    std::string password;
    std::string passwordFile;
    std::vector<std::string> ips;
    std::string ipsFile;
    bool all = false;
    int jobs = 8;
    int blockSize = upgrade::BlockSize;
    int timeoutMs = upgrade::ReceiveTimeoutMs;
    int windowSize = 8;
    int waitMs = upgrade::ToolAnswerWaitMs;
    int retries = 0;
    int waitBack = 0;
    bool dryRun = false;
    std::string json;
    std::string log;
    int canary = 0;
    int maxFailures = 0;
    std::string skipDone;
};

// The first line of a password file, without its line end. Only its start is read: a
// password file named by mistake (a device, a large file) must not be read whole.
std::string ReadPasswordFile(const std::string& path)
{
    // Only the first line is read: the rest may be anything, even endless.
    std::string text = ReadInput(path, MaxPasswordLine + 4096, [](const std::string& t) {
        return t.find('\n') != std::string::npos || t.size() > MaxPasswordLine;
    });
    text = text.substr(0, text.find('\n'));
    if (text.size() > MaxPasswordLine)
        throw std::runtime_error(path + ": the first line is longer than " + std::to_string(MaxPasswordLine) +
                                 " bytes");
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

// The password from the first of --password, --password-file, FTPUPG_PASSWORD.
std::optional<std::string> FindPassword(const UpgradeArgs& args, bool passwordGiven, std::string& error)
{
    if (passwordGiven) return args.password;
    if (!args.passwordFile.empty()) {
        try {
            return ReadPasswordFile(args.passwordFile);
        } catch (const std::exception& e) {
            error = std::string("--password-file: ") + e.what();
            return std::nullopt;
        }
    }
    if (const char* env = std::getenv("FTPUPG_PASSWORD")) return std::string(env);
    error = "no password: give --password, --password-file or FTPUPG_PASSWORD";
    return std::nullopt;
}

// A list's password file path: relative paths are taken from the list's folder, so a list
// and its password files can move together.
std::string BesideList(const std::string& listPath, const std::string& path)
{
    if (path.front() == '/' || listPath == "-") return path;
    const size_t slash = listPath.rfind('/');
    return slash == std::string::npos ? path : listPath.substr(0, slash + 1) + path;
}

// Keeps an existing report: FILE becomes FILE.1, FILE.1 becomes FILE.2, and so on up to
// FILE.9 (the oldest is dropped). Only regular files move; a pipe or device is written as it is.
void KeepEarlierReports(const std::string& path, std::vector<std::string>& notes)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    constexpr int Kept = 9;
    for (int i = Kept - 1; i >= 1; --i) {
        const std::string from = path + "." + std::to_string(i);
        if (::access(from.c_str(), F_OK) == 0 &&
            ::rename(from.c_str(), (path + "." + std::to_string(i + 1)).c_str()) != 0)
            throw std::runtime_error("cannot keep " + from + ": " + std::strerror(errno));
    }
    if (::rename(path.c_str(), (path + ".1").c_str()) != 0)
        throw std::runtime_error("cannot keep the earlier report as " + path + ".1: " + std::strerror(errno));
    notes.push_back("the earlier report " + path + " is kept as " + path + ".1");
}

// A password as the window sends it: in Windows-1252. Text that is valid UTF-8 is converted;
// other bytes are taken to be Windows-1252 already. Empty means nothing to send; whose names
// it in messages. The warnings count the bytes that go to the device.
std::optional<std::string> DevicePassword(const std::string& text, const std::string& whose,
                                          std::vector<std::string>& warnings, std::string& error)
{
    if (text.empty()) {
        error = whose + " is empty";
        return std::nullopt;
    }
    if (text.find('\0') != std::string::npos) {
        error = whose + " contains a NUL byte";
        return std::nullopt;
    }
    const bool utf8 = rtl::IsValidUtf8(text);
    std::string encoded = utf8 ? rtl::Utf8ToCp1252(text) : text;
    if (utf8 && rtl::Cp1252ToUtf8(encoded) != text)
        warnings.push_back(
            "warning: " + whose +
            " has characters Windows-1252 cannot hold; they are sent as '?', as the window sends them");
    if (encoded.size() > devmsg::frames::PasswordSize)
        warnings.push_back("warning: " + whose + " is " + std::to_string(encoded.size()) +
                           " bytes long in Windows-1252; devices compare the first 12");
    return encoded;
}

std::pair<size_t, size_t> TerminalSize(int fd)
{
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0)
        return {size.ws_col, size.ws_row};
    return {80, 24};
}

int RunUpgrade(const UpgradeArgs& args, bool passwordGiven)
{
    const int selections = (!args.ips.empty() ? 1 : 0) + (!args.ipsFile.empty() ? 1 : 0) + (args.all ? 1 : 0);
    if (selections != 1) return UsageError("give exactly one of --ip, --ips or --all");

    std::vector<FleetTarget> targets;
    std::vector<std::string> warnings;
    if (!args.ips.empty() || !args.ipsFile.empty()) {
        std::string text;
        std::string source = "--ip";
        if (!args.ipsFile.empty()) {
            try {
                text = ReadWhole(args.ipsFile);
            } catch (const std::exception& e) {
                return UsageError(std::string("--ips: cannot read ") + e.what());
            }
            source = args.ipsFile;
        } else {
            for (const auto& ip : args.ips) {
                if (!IsDeviceAddress(ip)) return UsageError("--ip: not an IPv4 address: '" + ip + "'");
                text += ip + "\n";
            }
        }
        auto list = ParseAddressList(text, source);
        // Every bad line at once, password files that cannot be read among them.
        for (const auto& t : list.targets) {
            FleetTarget target{t.ip, t.label, std::nullopt, {}};
            if (!t.passwordFile.empty()) {
                const std::string path = BesideList(args.ipsFile, t.passwordFile);
                const std::string where = source + ":" + std::to_string(t.line) + ": password file ";
                try {
                    target.password = ReadPasswordFile(path);
                    if (target.password->empty()) list.errors.push_back({t.line, where + path + " is empty"});
                } catch (const std::exception& e) {
                    list.errors.push_back({t.line, where + e.what()});
                }
            }
            targets.push_back(std::move(target));
        }
        if (!list.errors.empty()) {
            std::stable_sort(list.errors.begin(), list.errors.end(),
                             [](const auto& a, const auto& b) { return a.line < b.line; });
            std::string all;
            for (const auto& e : list.errors)
                all += (all.empty() ? "" : "\n") + e.text;
            return UsageError(all + "\n" + std::to_string(list.errors.size()) + " bad line(s); nothing was sent");
        }
        if (list.targets.empty()) return UsageError(source + ": no device address in it");
        if (!list.duplicates.empty()) {
            // One line however many: a list pasted twice would otherwise bury everything else.
            std::string names;
            for (size_t i = 0; i < list.duplicates.size() && i < 5; ++i)
                names += (i == 0 ? "" : ", ") + list.duplicates[i];
            if (list.duplicates.size() > 5) names += ", ...";
            warnings.push_back("warning: " + std::to_string(list.duplicates.size()) +
                               (list.duplicates.size() == 1 ? " address is" : " addresses are") +
                               " listed more than once (" + names + "); each is upgraded once");
        }
    }
    // The fleet's password is needed unless every listed device has its own.
    std::string fleetPassword;
    if (args.all || passwordGiven || !args.passwordFile.empty() ||
        std::any_of(targets.begin(), targets.end(), [](const auto& t) { return !t.password; })) {
        std::string error;
        const auto password = FindPassword(args, passwordGiven, error);
        if (!password) return UsageError(error);
        const auto encoded = DevicePassword(*password, "the password", warnings, error);
        if (!encoded) return UsageError(error);
        fleetPassword = *encoded;
    }
    for (auto& t : targets) {
        if (!t.password) continue;
        std::string error;
        const auto encoded = DevicePassword(*t.password, "the password of " + t.ip, warnings, error);
        if (!encoded) return UsageError(error);
        t.password = *encoded;
    }

    // Outputs are checked before anything is sent: a report or log that cannot be written
    // should not be found out after every device was written.
    for (const auto& [option, path] : {std::pair{"--json", args.json}, std::pair{"--log", args.log}})
        if (!path.empty() && path != "-" && (path == args.image || SameFile(path, args.image)))
            return UsageError(std::string(option) + " " + path + " names the firmware image");
    if (!args.json.empty() && args.json != "-" && (args.json == args.log || SameFile(args.json, args.log)))
        return UsageError("--json and --log name the same file");
    std::optional<ReportFile> reportFile;
    if (!args.json.empty() && args.json != "-") {
        try {
            reportFile.emplace(args.json);
        } catch (const std::exception& e) {
            return UsageError(std::string("--json: ") + e.what());
        }
    }

    std::optional<LogFile> log;
    try {
        if (args.log.empty())
            log.emplace();
        else
            log.emplace(args.log, std::string("ftpupg-cli ") + rtl::Version + ": upgrade with " + args.image);
    } catch (const std::exception& e) {
        return UsageError(std::string("--log: ") + e.what());
    }

    // Human output goes to standard error when standard output carries the report.
    FILE* out = args.json == "-" ? stderr : stdout;
    const int outFd = ::fileno(out);
    const char* term = std::getenv("TERM");
    const bool live = ::isatty(outFd) && !(term != nullptr && std::strcmp(term, "dumb") == 0);

    // From here on a stop signal ends the run with a report instead of killing it.
    std::optional<fleet::FleetStop> stop;
    try {
        stop.emplace();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s\n", e.what());
        return ExitFailed;
    }

    ReportImage reportImage;
    std::optional<FirmwareImage> image;
    try {
        image.emplace(args.image);
        reportImage = {args.image, image->Size(), image->Sha256(), BlocksFor(image->Size(), args.blockSize),
                       false};
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s; nothing was sent\n", e.what());
        log->Line(std::string("refused: ") + e.what());
        return ExitImage;
    }
    reportImage.blockNumbersWrap = reportImage.blocks > 65535;

    std::optional<DoneEarlier> doneEarlier;
    if (!args.skipDone.empty()) {
        try {
            doneEarlier = ReadDoneEarlier(ReadWhole(args.skipDone), reportImage.sha256, args.skipDone);
        } catch (const std::exception& e) {
            return UsageError(std::string("--skip-done: ") + e.what());
        }
        if (!doneEarlier->note.empty()) warnings.push_back("warning: --skip-done: " + doneEarlier->note);
    }

    const auto [width, height] = TerminalSize(outFd);
    ConsoleView view(out, live, width, height, image->Size(), *log);
    view.Say("image " + args.image + ": " + std::to_string(image->Size()) + " bytes, SHA-256 " +
             reportImage.sha256);
    if (reportImage.blockNumbersWrap)
        view.Say("warning: the image needs " + std::to_string(reportImage.blocks) + " blocks of " +
                 std::to_string(args.blockSize) +
                 " bytes; block numbers wrap after 65535, which some devices "
                 "do not accept (a larger --blksize avoids it)");
    for (const auto& w : warnings)
        view.Say(w);

    const auto runStart = std::chrono::steady_clock::now();
    ReportRun run{rtl::Version, UtcNow(),    {}, args.all ? "all" : !args.ipsFile.empty() ? "ips" : "ip",
                  false,        std::nullopt};
    // One discovery for the fleet: every device answers each request, so one request for
    // all of them instead of one per device keeps the answers few enough to arrive.
    Discovery found;
    bool sharedDiscovery = true;
    try {
        std::vector<std::string> wanted;
        for (const auto& t : targets)
            if (!doneEarlier || !doneEarlier->devices.count(t.ip)) wanted.push_back(t.ip);
        // Devices done earlier are not asked anything.
        if (args.all || !wanted.empty()) {
            found = Discover(args.waitMs, &*stop, args.all ? nullptr : &wanted);
            run.discoveryMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - runStart).count();
        }
    } catch (const std::exception& e) {
        // Each device's job then meets the reason itself, and the report names it.
        view.Say(std::string("warning: discovery: ") + e.what());
        sharedDiscovery = false;
    }
    WarnAboutAnswers(found, [&](const std::string& text) { view.Say(text); });
    if (args.all) {
        for (const auto& d : found.table.Sorted())
            targets.push_back({d.ip, {}, std::nullopt, {}});
        view.Say("discovery: " + std::to_string(targets.size()) + " device(s) answered");
    }

    if (doneEarlier)
        for (auto& t : targets)
            if (const auto it = doneEarlier->devices.find(t.ip); it != doneEarlier->devices.end())
                t.alreadyDone = it->second;

    FleetOptions opts;
    opts.job = {"", fleetPassword, args.blockSize, args.timeoutMs, args.waitMs, args.waitBack, args.dryRun};
    opts.job.windowSize = args.windowSize;
    // Without the right to pin, another host answering ARP for an address could take its image.
    opts.job.pin = !args.dryRun && posix::MayChangeNeighbours();
    if (!args.dryRun && !opts.job.pin)
        view.Say(
            "warning: no right to change the neighbour table (root or CAP_NET_ADMIN): device addresses are "
            "not pinned to the checked hardware addresses during the transfers");
    opts.targets = targets;
    opts.jobs = args.jobs;
    opts.runStart = runStart;
    opts.retries = args.retries;
    if (sharedDiscovery) opts.discovery = std::move(found.table);
    opts.canary = static_cast<size_t>(args.canary);
    opts.maxFailures = static_cast<size_t>(args.maxFailures);
    opts.skipDone = args.skipDone;
    log->Line("upgrade of " + std::to_string(targets.size()) + " device(s) with " + args.image +
              (args.dryRun ? " (dry run)" : ""));

    view.Expect(targets.size());
    bool interrupted = false;
    const auto devices = RunFleet(opts, *image, view, *stop, interrupted);
    uint64_t lost = 0;
    for (const auto& d : devices)
        lost += d.droppedAnswers;
    if (lost > 0)
        view.Say(
            "warning: " + std::to_string(lost) +
            " device answers were lost to a full receive buffer during the run; devices reported no-device or "
            "password-timeout may not have been heard");
    view.Close();
    run.finished = UtcNow();
    run.interrupted = interrupted;

    std::fprintf(out, "\n%s%s%s\n", SummaryTable(devices, args.waitBack > 0).c_str(),
                 interrupted ? "interrupted: " : "", CountLine(devices).c_str());
    if (const auto partial = PartialWriteWarning(devices, image->Size()); !partial.empty())
        std::fprintf(out, "%s\n", partial.c_str());
    std::fflush(out);
    log->Line((interrupted ? "interrupted: " : "finished: ") + CountLine(devices));

    int code = ExitDone;
    if (interrupted)
        code = ExitInterrupted;
    else if (std::any_of(devices.begin(), devices.end(),
                         [](const auto& d) { return d.result == Result::Skipped; }))
        code = ExitStopped;
    else if (devices.empty() || std::any_of(devices.begin(), devices.end(), [](const auto& d) {
                 // The image went in, but a device that never answers again needs someone.
                 return !Succeeded(d.result, d.waitedBack, d.backSeconds.has_value());
             }))
        code = ExitFailed;

    std::vector<std::string> written; // files that hold this run's record
    if (!args.json.empty()) {
        const std::string text = BuildReport(run, reportImage, opts, devices)
                                     .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                                 "\n";
        if (args.json == "-") {
            std::fwrite(text.data(), 1, text.size(), stdout);
            if (std::fflush(stdout) != 0) {
                std::fprintf(stderr, "ftpupg-cli: --json -: cannot write the report: %s\n", std::strerror(errno));
                if (code == ExitDone) code = ExitFailed;
            }
        } else {
            std::vector<std::string> notes;
            try {
                // An earlier report is moved aside only once the new one is written whole.
                reportFile->Commit(text, [&] { KeepEarlierReports(args.json, notes); });
                written.push_back("the report " + args.json);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "ftpupg-cli: --json: %s; the report is not written\n",
                             MaskLines(e.what()).c_str());
                if (code == ExitDone) code = ExitFailed;
            }
            for (const auto& n : notes)
                std::fprintf(out, "%s\n", MaskLines(n).c_str());
        }
    }
    if (!log->Failure().empty()) {
        std::fprintf(stderr, "ftpupg-cli: --log %s: writing failed (%s); the log is incomplete\n",
                     MaskLines(args.log).c_str(), log->Failure().c_str());
        if (code == ExitDone) code = ExitFailed;
    } else if (!args.log.empty()) {
        written.push_back("the log " + args.log);
    }
    // The last line says where the run's record is.
    if (!written.empty())
        std::fprintf(out, "written: %s\n",
                     MaskLines(written.size() == 1 ? written[0] : written[0] + " and " + written[1]).c_str());
    return code;
}

} // namespace

namespace {

size_t EditDistance(std::string_view a, std::string_view b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The parser names an unknown option but offers nothing near it: a near name is offered here.
void SuggestOptions(const CLI::App& app, int argc, char** argv)
{
    std::vector<std::string> known;
    for (const CLI::App* command : app.get_subcommands({}))
        for (const CLI::Option* option : command->get_options())
            for (const auto& name : option->get_lnames())
                known.push_back("--" + name);
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0 || word.size() < 4) continue;
        word = word.substr(0, word.find('='));
        if (std::find(known.begin(), known.end(), word) != known.end()) continue;
        const std::string* best = nullptr;
        size_t distance = 3; // at most two edits, and fewer than a third of the word
        for (const auto& name : known) {
            const size_t d = EditDistance(word, name);
            if (d < distance && d * 3 < word.size()) {
                distance = d;
                best = &name;
            }
        }
        if (best != nullptr)
            std::fprintf(stderr, "ftpupg-cli: did you mean %s instead of %s?\n", best->c_str(),
                         SafeText(word).c_str());
    }
}

} // namespace
} // namespace fleet

int main(int argc, char** argv)
{
    CLI::App app{"Discovers Morvane devices and upgrades their firmware, one or many at once.", "ftpupg-cli"};
    rtl::UseOperatorHelp(app);
    app.set_version_flag("--version", rtl::VersionText("ftpupg-cli"));
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 every device done or already-done (dry run: would-upgrade) (discover: a device\n"
        "answered), 1 a device failed (unconfirmed, back-unconfirmed among them) or, with --wait-back,\n"
        "did not restart (not-restarted), came back from another hardware address (address-changed) or\n"
        "did not come back (discover: none answered),\n"
        "2 usage error, 3 image refused, 4 the rollout stopped (a canary failed or --max-failures was\n"
        "reached) and devices were skipped, 130 interrupted.\n"
        "Address list (--ips): one device per line, 'ADDRESS [LABEL] [@PASSWORD-FILE]', e.g.\n"
        "  10.20.0.15  line-3-press  @line3.pw\n"
        "The label (no blanks) names the device in tables and reports; the device's password is the\n"
        "first line of PASSWORD-FILE (relative to the list's folder). '#' starts a comment.\n"
        "NDXL_BROADCAST=ADDRESS sends discovery to one network's broadcast address only;\n"
        "man ftpupg-cli lists every environment variable.");

    int discoverWait = upgrade::ToolAnswerWaitMs;
    bool discoverJson = false;
    auto* discover = app.add_subcommand("discover", "List the devices that answer one discovery request");
    discover
        ->add_option("--wait", discoverWait,
                     "How long to collect answers, in ms (default " + std::to_string(::upgrade::ToolAnswerWaitMs) +
                         ")")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    discover->add_flag("--json", discoverJson, "Print the list as JSON");

    fleet::UpgradeArgs a;
    auto* upgrade = app.add_subcommand("upgrade", "Write a firmware image to one or many devices");
    upgrade->add_option("--image", a.image, "Firmware image to write")->required()->type_name("FILE");
    auto* passwordOption = upgrade
                               ->add_option("--password", a.password,
                                            "Device password (visible to other users; "
                                            "prefer --password-file or FTPUPG_PASSWORD)")
                               ->type_name("TEXT");
    upgrade
        ->add_option("--password-file", a.passwordFile,
                     "The password of devices without a password file of their own: the first line of FILE")
        ->type_name("FILE");
    upgrade->add_option("--ip", a.ips, "A device's IPv4 address; repeat for more devices")->type_name("IP");
    upgrade
        ->add_option("--ips", a.ipsFile,
                     "Address list: one device per line, ADDRESS [LABEL] [@PASSWORD-FILE] (- for stdin; "
                     "see below)")
        ->type_name("FILE");
    upgrade->add_flag("--all", a.all, "Every device that answers discovery");
    upgrade->add_option("--jobs", a.jobs, "Devices upgraded at once (default 8)")
        ->check(CLI::Range(1, 256))
        ->type_name("N");
    upgrade
        ->add_option("--blksize", a.blockSize,
                     "TFTP block size (default " + std::to_string(::upgrade::BlockSize) + ")")
        ->check(CLI::Range(8, 65464))
        ->type_name("N");
    upgrade
        ->add_option("--timeout", a.timeoutMs,
                     "Longest TFTP wait for a reply in ms: the retransmission timer doubles up to it from the "
                     "measured round trip; 5 such whole waits in a row without progress are a time-out (default " +
                         std::to_string(::upgrade::ReceiveTimeoutMs) + ")")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    upgrade
        ->add_option("--windowsize", a.windowSize,
                     "TFTP blocks sent before waiting for an acknowledgement (RFC 7440); a device that does not "
                     "know the option takes one at a time (default 8)")
        ->check(CLI::Range(1, 65535))
        ->type_name("N");
    upgrade
        ->add_option("--wait", a.waitMs,
                     "Wait for discovery and password answers, in ms (default " +
                         std::to_string(::upgrade::ToolAnswerWaitMs) + ")")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    upgrade
        ->add_option("--retries", a.retries,
                     "Try a device again from discovery after a time-out or TFTP error, up to N more times "
                     "(default 0)")
        ->check(CLI::Range(0, 100))
        ->type_name("N");
    upgrade
        ->add_option("--wait-back", a.waitBack,
                     "After the write, wait up to SECONDS for the device to restart: fall silent, then answer "
                     "again from the same hardware address")
        ->check(CLI::Range(0, 3600))
        ->type_name("SECONDS");
    upgrade
        ->add_option("--canary", a.canary,
                     "Upgrade the first N devices first; go on only if all of them are done (and came back)")
        ->check(CLI::Range(0, 100000))
        ->type_name("N");
    upgrade
        ->add_option("--max-failures", a.maxFailures,
                     "Start no further device once K devices failed; running ones finish (default 0: no limit)")
        ->check(CLI::Range(0, 100000))
        ->type_name("K");
    upgrade
        ->add_option("--skip-done", a.skipDone,
                     "Skip every device an earlier JSON report gives as done with this image (already-done)")
        ->type_name("REPORT");
    upgrade->add_flag("--dry-run", a.dryRun,
                      "Discovery and password check only; nothing is written (result would-upgrade)");
    upgrade
        ->add_option("--json", a.json,
                     "Write the JSON report to FILE (- for standard output); an earlier FILE is kept as FILE.1")
        ->type_name("FILE|-");
    upgrade->add_option("--log", a.log, "Append time-stamped lines to FILE")->type_name("FILE");

    std::string reportJson;
    std::string reportHtml;
    auto* report = app.add_subcommand("report", "Turn a JSON report of upgrade into a page to hand on");
    report->add_option("REPORT", reportJson, "The JSON report (- for standard input)")->required();
    report
        ->add_option("--html", reportHtml,
                     "Write one self-contained HTML page (summary, devices, timeline) to FILE (- for standard "
                     "output)")
        ->required()
        ->type_name("FILE|-");

    if (argc == 1) {
        // No command: what there is to do, rather than only that a command is missing.
        std::fputs(app.help().c_str(), stdout);
        return fleet::ExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        if (code != 0) fleet::SuggestOptions(app, argc, argv);
        return code == 0 ? 0 : fleet::ExitUsage;
    }
    if (!report->parsed()) {
        // The device library would refuse a bad setting device by device; it is named once, first.
        std::string problem;
        bool settingsOk = true;
        devmsg::SettingsFromEnvironment(problem, settingsOk);
        if (!settingsOk) return fleet::UsageError(problem);
    }
    if (discover->parsed()) return fleet::RunDiscover(discoverWait, discoverJson);
    if (report->parsed()) return fleet::RunReportCommand(reportJson, reportHtml);
    return fleet::RunUpgrade(a, passwordOption->count() > 0);
}
