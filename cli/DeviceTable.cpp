#include "cli/DeviceTable.h"

#include "cli/Addresses.h"
#include "devmsg/wire/DeviceFrames.h"
#include "rtl/SafeText.h"

#include <algorithm>
#include <cstdio>

namespace fleet {

std::string MacText(std::span<const uint8_t> record)
{
    std::string text;
    for (size_t i = 0; i < devmsg::frames::MacSize; ++i) {
        char part[4];
        std::snprintf(part, sizeof part, i == 0 ? "%02x" : ":%02x",
                      devmsg::frames::ReplyByte(record, devmsg::frames::RepMac + i));
        text += part;
    }
    return text;
}

DeviceEntry DeviceFromAnswer(std::span<const uint8_t> record)
{
    return {rtl::DisplayText(devmsg::frames::ReplyIpText(record)),
            MacText(record),
            rtl::DisplayText(devmsg::frames::ReplyName(record)),
            {}};
}

bool DeviceTable::Add(std::span<const uint8_t> record)
{
    if (!devmsg::frames::IsDiscoveryAnswer(record)) return false;
    const uint8_t protocol = devmsg::frames::ReplyProtocol(record);
    DeviceEntry device = DeviceFromAnswer(record);
    if (!IsDeviceAddress(device.ip)) {
        if (std::find(malformed_.begin(), malformed_.end(), device.ip) == malformed_.end())
            malformed_.push_back(device.ip);
        return true;
    }
    auto it = std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.entry.ip == device.ip; });
    if (it == rows_.end()) {
        rows_.push_back({std::move(device), {}});
        it = rows_.end() - 1;
    } else if (device.mac != it->entry.mac) {
        // Another device claims the address: none of them can be told apart by it.
        auto& conflicts = it->entry.conflicts;
        if (std::find(conflicts.begin(), conflicts.end(), device.mac) == conflicts.end())
            conflicts.push_back(device.mac);
        return true;
    }
    auto& protocols = it->entry.protocols;
    if (std::find(protocols.begin(), protocols.end(), protocol) == protocols.end()) {
        protocols.push_back(protocol);
        std::sort(protocols.begin(), protocols.end());
        it->answers.emplace_back(record.begin(), record.end());
    }
    return true;
}

std::vector<DeviceEntry> DeviceTable::Sorted() const
{
    std::vector<DeviceEntry> sorted;
    for (const auto& row : rows_)
        sorted.push_back(row.entry);
    std::sort(sorted.begin(), sorted.end(),
              [](const DeviceEntry& a, const DeviceEntry& b) { return AddressValue(a.ip) < AddressValue(b.ip); });
    return sorted;
}

const DeviceEntry* DeviceTable::Find(std::string_view ip) const
{
    for (const auto& row : rows_)
        if (row.entry.ip == ip) return &row.entry;
    return nullptr;
}

std::vector<std::string> DeviceTable::SameMac(std::string_view ip) const
{
    const DeviceEntry* device = Find(ip);
    if (device == nullptr) return {};
    const auto claims = [](const DeviceEntry& entry, const std::string& mac) {
        return entry.mac == mac ||
               std::find(entry.conflicts.begin(), entry.conflicts.end(), mac) != entry.conflicts.end();
    };
    std::vector<std::string> others;
    for (const auto& row : rows_) {
        if (row.entry.ip == ip) continue;
        if (claims(row.entry, device->mac) ||
            std::any_of(device->conflicts.begin(), device->conflicts.end(),
                        [&](const std::string& mac) { return claims(row.entry, mac); }))
            others.push_back(row.entry.ip);
    }
    std::sort(others.begin(), others.end(),
              [](const std::string& a, const std::string& b) { return AddressValue(a) < AddressValue(b); });
    return others;
}

std::vector<std::vector<uint8_t>> DeviceTable::Answers(std::string_view ip) const
{
    for (const auto& row : rows_)
        if (row.entry.ip == ip) return row.answers;
    return {};
}

std::string ConflictText(const DeviceEntry& device)
{
    std::string text = "several devices answer for " + device.ip + ": " + device.mac;
    for (const auto& mac : device.conflicts)
        text += ", " + mac;
    return text;
}

std::string DuplicateMacText(const DeviceEntry& device, const std::vector<std::string>& others)
{
    std::string list;
    for (const auto& ip : others)
        list += (list.empty() ? "" : ", ") + ip;
    return device.mac + " answers for " + device.ip + " and also for " + list +
           ": one hardware address, several devices; none is asked for its password or written";
}

std::optional<std::string> WrongModelText(const DeviceEntry& device, const std::vector<std::string>& models)
{
    if (models.empty() || std::find(models.begin(), models.end(), device.name) != models.end())
        return std::nullopt;
    std::string list;
    for (const auto& m : models)
        list += (list.empty() ? "" : ", ") + m;
    return "the image is signed for " + list + "; this device answers as " + device.name + "; nothing was written";
}

} // namespace fleet
