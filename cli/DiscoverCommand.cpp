#include "cli/DiscoverCommand.h"

#include "cli/DeviceLink.h"
#include "cli/Outcome.h"
#include "cli/Trace.h"

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

int RunDiscover(int waitMs, bool json, const std::string& traceDir)
{
    std::vector<DeviceEntry> devices;
    Discovery found;
    try {
        std::optional<ProcessTrace> trace;
        if (!traceDir.empty()) {
            PrepareTraceDir(traceDir);
            trace.emplace(DiscoveryTraceFile(traceDir));
        }
        found = Discover(waitMs);
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
    if (json)
        PrintJson(devices, found.table);
    else if (!devices.empty())
        PrintTable(devices);
    else
        std::fprintf(stderr, "ftpupg-cli: no device answered within %d ms\n", waitMs);
    return devices.empty() ? ExitFailed : ExitDone;
}

} // namespace fleet
