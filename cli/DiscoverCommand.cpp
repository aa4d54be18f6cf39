#include "cli/DiscoverCommand.h"

#include "cli/DeviceLink.h"
#include "cli/Outcome.h"
#include "cli/Trace.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <optional>

namespace fleet {

namespace {

std::string ProtocolText(const std::vector<uint8_t>& protocols)
{
    std::string text;
    for (const auto p : protocols)
        text += (text.empty() ? "" : ",") + std::to_string(p);
    return text;
}

void PrintJson(const std::vector<DeviceEntry>& devices, const DeviceTable& table)
{
    nlohmann::json list = nlohmann::json::array();
    for (const auto& d : devices)
        list.push_back({{"ip", d.ip},
                        {"mac", d.mac},
                        {"name", d.name},
                        {"protocols", d.protocols},
                        {"conflicts", d.conflicts},
                        {"same_mac", table.SameMac(d.ip)}});
    std::cout << nlohmann::json{{"devices", list}}.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
              << "\n";
}

void PrintTable(const std::vector<DeviceEntry>& devices)
{
    std::printf("%-15s  %-17s  %-9s  %s\n", "IP", "MAC", "PROTOCOLS", "NAME");
    for (const auto& d : devices)
        std::printf("%-15s  %-17s  %-9s  %s\n", d.ip.c_str(), d.mac.c_str(), ProtocolText(d.protocols).c_str(),
                    d.name.c_str());
}

} // namespace

CLI::App* AddDiscoverCommand(CLI::App& app, DiscoverArgs& args)
{
    auto* discover = app.add_subcommand("discover", "List the devices that answer one discovery request");
    discover->add_option("--wait", args.waitMs, "How long to collect answers, in ms")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS")
        ->capture_default_str();
    discover->add_flag("--json", args.json, "Print the list as JSON");
    discover
        ->add_option("--trace", args.traceDir,
                     "Write every datagram sent and received to DIR/discovery.pcapng, a packet trace for "
                     "Wireshark")
        ->type_name("DIR");
    return discover;
}

int RunDiscover(const DiscoverArgs& args)
{
    std::vector<DeviceEntry> devices;
    Discovery found;
    try {
        std::optional<ProcessTrace> trace;
        if (!args.traceDir.empty()) {
            PrepareTraceDir(args.traceDir);
            trace.emplace(DiscoveryTraceFile(args.traceDir));
        }
        found = Discover(args.waitMs);
        WarnAboutAnswers(found,
                         [](const std::string& text) { std::fprintf(stderr, "ftpupg-cli: %s\n", text.c_str()); });
        devices = found.table.Sorted();
        for (const auto& d : devices)
            if (!d.conflicts.empty())
                std::fprintf(stderr, "ftpupg-cli: warning: address conflict: %s\n", ConflictText(d).c_str());
        for (const auto& d : devices)
            if (const auto others = found.table.SameMac(d.ip); !others.empty())
                std::fprintf(stderr, "ftpupg-cli: warning: duplicate hardware address: %s (upgrade refuses it)\n",
                             DuplicateMacText(d, others).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s\n", e.what());
        return ExitFailed;
    }
    if (args.json)
        PrintJson(devices, found.table);
    else if (!devices.empty())
        PrintTable(devices);
    else
        std::fprintf(stderr, "ftpupg-cli: no device answered within %d ms\n", args.waitMs);
    return devices.empty() ? ExitFailed : ExitDone;
}

} // namespace fleet
