// ftpupg-cli: discovers devices and upgrades one or many of them, with the same device
// library, frames and TFTP client as the window.
#include "Console.h"
#include "DeviceFrames.h"
#include "DeviceLink.h"
#include "Fleet.h"
#include "Image.h"
#include "Report.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr int ExitDone = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitImage = 3;
constexpr int ExitInterrupted = 130;

const char* const Version = "ftpupg-cli " FTPUPG_VERSION_TEXT "\n" FTPUPG_COMPANY;

int g_stopWrite = -1;

void OnStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_stopWrite, &byte, 1);
}

// A pipe that becomes readable at the first SIGINT or SIGTERM. Returns its read end.
int InstallStopPipe()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    g_stopWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return fds[0];
}

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "ftpupg-cli: %s\nRun with --help for more information.\n", text.c_str());
    return ExitUsage;
}

std::string ReadWhole(const std::string& path)
{
    std::ifstream in;
    if (path != "-") {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            throw std::runtime_error(path + ": is a directory");
        in.open(path, std::ios::binary);
        if (!in) throw std::runtime_error(path + ": " + std::strerror(errno));
    }
    std::istream& stream = path == "-" ? std::cin : in;
    std::ostringstream text;
    text << stream.rdbuf();
    if (stream.bad()) throw std::runtime_error(path + ": read error");
    return text.str();
}

std::vector<fleet::DeviceEntry> Discover(int waitMs)
{
    DeviceLink link;
    fleet::DeviceTable table;
    link.SendDiscovery();
    const auto deadline = DeviceLink::Clock::now() + std::chrono::milliseconds(waitMs);
    while (const auto record = link.Next(deadline))
        table.Add(*record);
    return table.Sorted();
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
    std::vector<fleet::DeviceEntry> devices;
    try {
        devices = Discover(waitMs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s\n", e.what());
        return ExitFailed;
    }
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& d : devices)
            list.push_back({{"ip", d.ip}, {"mac", d.mac}, {"name", d.name}, {"protocols", d.protocols}});
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
    int blockSize = 1024;
    int timeoutMs = 4000;
    int waitMs = 1000;
    int retries = 0;
    int waitBack = 0;
    bool dryRun = false;
    std::string json;
    std::string log;
};

// The password from the first of --password, --password-file, FTPUPG_PASSWORD.
std::optional<std::string> FindPassword(const UpgradeArgs& args, bool passwordGiven, std::string& error)
{
    if (passwordGiven) return args.password;
    if (!args.passwordFile.empty()) {
        std::string text;
        try {
            text = ReadWhole(args.passwordFile);
        } catch (const std::exception& e) {
            error = std::string("--password-file: ") + e.what();
            return std::nullopt;
        }
        // The first line, without its line end.
        text = text.substr(0, text.find('\n'));
        if (!text.empty() && text.back() == '\r') text.pop_back();
        return text;
    }
    if (const char* env = std::getenv("FTPUPG_PASSWORD")) return std::string(env);
    error = "no password: give --password, --password-file or FTPUPG_PASSWORD";
    return std::nullopt;
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
    std::string error;
    const auto password = FindPassword(args, passwordGiven, error);
    if (!password) return UsageError(error);

    std::vector<std::string> targets;
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
                if (!fleet::IsDeviceAddress(ip)) return UsageError("--ip: not an IPv4 address: '" + ip + "'");
                text += ip + "\n";
            }
        }
        auto list = fleet::ParseAddressList(text, source);
        if (!list.error.empty()) return UsageError(list.error);
        if (list.addresses.empty()) return UsageError(source + ": no device address in it");
        for (const auto& d : list.duplicates)
            warnings.push_back("warning: " + d + " is listed more than once; it is upgraded once");
        targets = std::move(list.addresses);
    }
    if (password->size() > DeviceFrames::PasswordSize)
        warnings.push_back("warning: the password is longer than 12 bytes; devices compare the first 12");

    std::optional<LogFile> log;
    try {
        if (args.log.empty())
            log.emplace();
        else
            log.emplace(args.log);
    } catch (const std::exception& e) {
        return UsageError(std::string("--log: ") + e.what());
    }

    // Human output goes to standard error when standard output carries the report.
    FILE* out = args.json == "-" ? stderr : stdout;
    const int outFd = ::fileno(out);
    const char* term = std::getenv("TERM");
    const bool live = ::isatty(outFd) && !(term != nullptr && std::strcmp(term, "dumb") == 0);

    ReportImage reportImage;
    std::optional<FirmwareImage> image;
    try {
        image.emplace(args.image);
        reportImage = {args.image, image->Size(), image->Sha256(), fleet::BlocksFor(image->Size(), args.blockSize),
                       false};
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s; nothing was sent\n", e.what());
        log->Line(std::string("refused: ") + e.what());
        return ExitImage;
    }
    reportImage.blockNumbersWrap = reportImage.blocks > 65535;

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

    int stopFd = -1;
    try {
        stopFd = InstallStopPipe();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s\n", e.what());
        return ExitFailed;
    }

    ReportRun run{FTPUPG_VERSION_TEXT,
                  UtcNow(),
                  {},
                  args.all                ? "all"
                  : !args.ipsFile.empty() ? "ips"
                                          : "ip",
                  false};
    if (args.all) {
        try {
            for (const auto& d : Discover(args.waitMs))
                targets.push_back(d.ip);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ftpupg-cli: %s\n", e.what());
            return ExitFailed;
        }
        view.Say("discovery: " + std::to_string(targets.size()) + " device(s) answered");
    }

    FleetOptions opts;
    opts.job = {"", *password, args.blockSize, args.timeoutMs, args.waitMs, args.waitBack, args.dryRun};
    opts.targets = targets;
    opts.jobs = args.jobs;
    opts.retries = args.retries;
    log->Line("upgrade of " + std::to_string(targets.size()) + " device(s) with " + args.image +
              (args.dryRun ? " (dry run)" : ""));

    bool interrupted = false;
    const auto devices = RunFleet(opts, *image, view, stopFd, interrupted);
    view.Close();
    run.finished = UtcNow();
    run.interrupted = interrupted;

    std::fprintf(out, "\n%s%s%s\n", SummaryTable(devices, args.waitBack > 0).c_str(),
                 interrupted ? "interrupted: " : "", CountLine(devices).c_str());
    std::fflush(out);
    log->Line((interrupted ? "interrupted: " : "finished: ") + CountLine(devices));

    int code = ExitDone;
    if (interrupted)
        code = ExitInterrupted;
    else if (devices.empty() || std::any_of(devices.begin(), devices.end(), [](const auto& d) {
                 // The image went in, but a device that never answers again needs someone.
                 return d.result != fleet::Result::Done || (d.waitedBack && !d.backSeconds);
             }))
        code = ExitFailed;

    if (!args.json.empty()) {
        const std::string text = BuildReport(run, reportImage, opts, devices)
                                     .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                                 "\n";
        if (args.json == "-") {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        } else {
            std::ofstream file(args.json, std::ios::binary | std::ios::trunc);
            file << text;
            if (!file.flush()) {
                std::fprintf(stderr, "ftpupg-cli: --json %s: cannot write the report\n", args.json.c_str());
                if (code == ExitDone) code = ExitFailed;
            }
        }
    }
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Discovers Morvane devices and upgrades their firmware, one or many at once.", "ftpupg-cli"};
    app.set_version_flag("--version", Version);
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 every device done (discover: a device answered), 1 a device failed or, with\n"
        "--wait-back, did not come back (discover: none answered), 2 usage error, 3 image refused,\n"
        "130 interrupted.\n"
        "NDXL_BROADCAST=ADDRESS sends discovery to one network's broadcast address only;\n"
        "man ftpupg-cli lists every environment variable.");

    int discoverWait = 1000;
    bool discoverJson = false;
    auto* discover = app.add_subcommand("discover", "List the devices that answer one discovery request");
    discover->add_option("--wait", discoverWait, "How long to collect answers, in ms (default 1000)")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    discover->add_flag("--json", discoverJson, "Print the list as JSON");

    UpgradeArgs a;
    auto* upgrade = app.add_subcommand("upgrade", "Write a firmware image to one or many devices");
    upgrade->add_option("--image", a.image, "Firmware image to write")->required()->type_name("FILE");
    auto* passwordOption = upgrade
                               ->add_option("--password", a.password,
                                            "Device password (visible to other users; "
                                            "prefer --password-file or FTPUPG_PASSWORD)")
                               ->type_name("TEXT");
    upgrade->add_option("--password-file", a.passwordFile, "Read the password from the first line of FILE")
        ->type_name("FILE");
    upgrade->add_option("--ip", a.ips, "A device's IPv4 address; repeat for more devices")->type_name("IP");
    upgrade->add_option("--ips", a.ipsFile, "File with one IPv4 address per line ('#' comments; - for stdin)")
        ->type_name("FILE");
    upgrade->add_flag("--all", a.all, "Every device that answers discovery");
    upgrade->add_option("--jobs", a.jobs, "Devices upgraded at once (default 8)")
        ->check(CLI::Range(1, 256))
        ->type_name("N");
    upgrade->add_option("--blksize", a.blockSize, "TFTP block size (default 1024)")
        ->check(CLI::Range(8, 65464))
        ->type_name("N");
    upgrade->add_option("--timeout", a.timeoutMs, "TFTP reply time-out in ms (default 4000)")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS");
    upgrade->add_option("--wait", a.waitMs, "Wait for discovery and password answers, in ms (default 1000)")
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
                     "After the write, rediscover the device until it answers again, up to SECONDS")
        ->check(CLI::Range(0, 3600))
        ->type_name("SECONDS");
    upgrade->add_flag("--dry-run", a.dryRun, "Discovery and password check only; nothing is written");
    upgrade->add_option("--json", a.json, "Write the JSON report to FILE (- for standard output)")
        ->type_name("FILE|-");
    upgrade->add_option("--log", a.log, "Append time-stamped lines to FILE")->type_name("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : ExitUsage;
    }
    if (discover->parsed()) return RunDiscover(discoverWait, discoverJson);
    return RunUpgrade(a, passwordOption->count() > 0);
}
