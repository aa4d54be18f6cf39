#include "sim/ProgramSupport.h"

#include "posix/Fd.h"
#include "rtl/OptionHelp.h"
#include "sim/TftpServer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace sim {

void WritePortFile(const std::string& path, std::uint16_t port)
{
    const std::string temporary = path + ".tmp";
    auto fail = [&](const std::string& what) {
        const std::string reason = std::strerror(errno);
        ::unlink(temporary.c_str());
        throw std::runtime_error("port file " + path + ": " + what + ": " + reason);
    };
    posix::Fd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file) fail("open " + temporary);
    const std::string text = std::to_string(port) + "\n";
    if (::write(file.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) fail("write");
    if (::close(file.Release()) != 0) fail("close");
    if (std::rename(temporary.c_str(), path.c_str()) != 0) fail("rename");
}

std::optional<double> ParseShare(const std::string& text)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || !(value >= 0.0 && value <= 1.0))
        return std::nullopt;
    return value;
}

CLI::Validator Share()
{
    return CLI::Validator(
        [](std::string& text) { return ParseShare(text) ? std::string() : "not a share from 0 to 1: " + text; },
        "0 to 1", "share");
}

std::optional<std::pair<int, int>> ParseTimeRange(const std::string& text)
{
    constexpr long Most = 60000;
    const auto number = [](const std::string& part) -> std::optional<int> {
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const long value = std::stol(part);
        if (value > Most) return std::nullopt;
        return static_cast<int>(value);
    };
    const auto dash = text.find('-');
    const auto least = number(text.substr(0, dash));
    const auto most = dash == std::string::npos ? least : number(text.substr(dash + 1));
    if (!least || !most || *most < *least) return std::nullopt;
    return std::pair{*least, *most};
}

void AddServiceTimeOption(CLI::App& app, SimTftpOptions& o, const std::string& seedOption,
                          const std::string& group)
{
    app.add_option_function<std::string>(
           "--ack-delay-ms",
           [&o](const std::string& text) {
               const auto range = ParseTimeRange(text);
               if (!range)
                   throw CLI::ValidationError("--ack-delay-ms", "not MS or MIN-MAX from 0 to 60000: " + text);
               o.ackDelayMs = range->first;
               o.ackDelayMaxMs = range->second;
           },
           "the device's service time: it works MS before every ACK of data it sends (the end of a window, a "
           "gap, the answer to a repeated block), reading nothing meanwhile, as a device that writes each window "
           "to flash first; MIN-MAX (e.g. 5-50) draws each wait anew from that range, seeded by " +
               seedOption)
        ->type_name("MS|MIN-MAX")
        ->group(group);
}

void AddLinkFaultOptions(CLI::App& app, SimTftpOptions& o, const std::string& prefix, const std::string& group)
{
    const auto name = [&prefix](const char* option) { return "--" + prefix + option; };
    app.add_option(name("lose-received"), o.loseReceived, "lose this share of the transfer's datagrams on arrival")
        ->check(Share())
        ->type_name("SHARE")
        ->group(group);
    app.add_option(name("lose-acks"), o.loseAcks, "lose this share of the ACKs of data blocks")
        ->check(Share())
        ->type_name("SHARE")
        ->group(group);
    app.add_option(name("pause-ms"), o.pauseMs,
                   "stop reading for MS after every " + name("pause-every") + " blocks (a flash erase)")
        ->check(CLI::Range(0, 600000))
        ->type_name("MS")
        ->group(group);
    app.add_option(name("pause-every"), o.pauseEvery, "blocks between pauses")
        ->check(CLI::Range(0, 1 << 30))
        ->type_name("N")
        ->group(group);
    app.add_option(name("receive-buffer"), o.receiveBuffer,
                   "the transfer socket's receive buffer in bytes (the kernel doubles it and keeps a floor)")
        ->check(CLI::Range(0, 64 << 20))
        ->type_name("BYTES")
        ->group(group);
    app.add_option(name("seed"), o.seed, "seed for the random shares (default 1)")->type_name("N")->group(group);
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv)
{
    app.formatter(std::make_shared<rtl::OperatorHelp>());
    // Several simulators log to one standard error in tests: every complaint names its program.
    app.failure_message([](const CLI::App* failed, const CLI::Error& e) {
        return failed->get_name() + ": " + e.what() + "\nRun with --help for the options.\n";
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, std::cout, std::cerr);
        return code == 0 ? 0 : 2;
    }
    return std::nullopt;
}

} // namespace sim
