#include "devmsg/NdxlCore.h"

#include "devmsg/wire/NdxlWire.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace devmsg {

namespace {

bool IsSet(const char* value)
{
    return value != nullptr && *value != '\0';
}

std::optional<uint16_t> ParsePort(std::string_view text, bool allowZero)
{
    unsigned value = 0;
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end || value > 65535 || (value == 0 && !allowZero))
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

} // namespace

std::optional<Settings> ParseSettings(const char* broadcast, const char* port, const char* localPort,
                                      std::string& error)
{
    Settings settings;
    settings.port = devmsg::wire::DefaultPort;
    if (IsSet(broadcast)) {
        in_addr address{};
        if (inet_pton(AF_INET, broadcast, &address) != 1) {
            error = std::string("NDXL_BROADCAST is not an IPv4 address: ") + broadcast;
            return std::nullopt;
        }
        settings.broadcast = ntohl(address.s_addr);
    }
    // Unset keeps the default; set, it must be a port (0 only where "any" makes sense).
    auto takePort = [&error](const char* name, const char* text, bool zeroAllowed, uint16_t& into) {
        if (!IsSet(text)) return true;
        const auto value = ParsePort(text, zeroAllowed);
        if (!value) {
            error = std::string(name) + " is not a port number: " + text;
            return false;
        }
        into = *value;
        return true;
    };
    if (!takePort("NDXL_PORT", port, false, settings.port) ||
        !takePort("NDXL_LOCAL_PORT", localPort, true, settings.localPort))
        return std::nullopt;
    return settings;
}

Settings SettingsFromEnvironment(std::string& error, bool& ok)
{
    auto settings = ParseSettings(std::getenv("NDXL_BROADCAST"), std::getenv("NDXL_PORT"),
                                  std::getenv("NDXL_LOCAL_PORT"), error);
    ok = settings.has_value();
    return settings.value_or(Settings{});
}

std::vector<uint32_t> BroadcastTargets(std::span<const InterfaceEntry> interfaces)
{
    std::vector<uint32_t> targets;
    for (const auto& entry : interfaces) {
        if (!entry.ipv4 || !entry.broadcast || (entry.flags & IFF_UP) == 0 || (entry.flags & IFF_BROADCAST) == 0)
            continue;
        if (std::find(targets.begin(), targets.end(), *entry.broadcast) == targets.end())
            targets.push_back(*entry.broadcast);
    }
    return targets;
}

std::vector<InterfaceEntry> SystemInterfaces()
{
    std::vector<InterfaceEntry> entries;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return entries;
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        InterfaceEntry entry;
        entry.flags = it->ifa_flags;
        entry.ipv4 = it->ifa_addr != nullptr && it->ifa_addr->sa_family == AF_INET;
        if (entry.ipv4 && (it->ifa_flags & IFF_BROADCAST) != 0 && it->ifa_broadaddr != nullptr &&
            it->ifa_broadaddr->sa_family == AF_INET) {
            sockaddr_in address{};
            std::memcpy(&address, it->ifa_broadaddr, sizeof address);
            entry.broadcast = ntohl(address.sin_addr.s_addr);
        }
        entries.push_back(entry);
    }
    freeifaddrs(list);
    return entries;
}

std::string AddressText(uint32_t hostOrder)
{
    in_addr address{};
    address.s_addr = htonl(hostOrder);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool ReplyQueue::Push(std::span<const uint8_t> record)
{
    const size_t n = std::min(record.size(), devmsg::wire::RecordSize);
    std::lock_guard lock(mutex_);
    if (records_.size() >= capacity_) return false;
    records_.emplace_back(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
}

bool ReplyQueue::Pop(uint8_t* out)
{
    std::vector<uint8_t> record;
    {
        std::lock_guard lock(mutex_);
        if (records_.empty()) return false;
        record = std::move(records_.front());
        records_.pop_front();
    }
    if (!record.empty()) std::memcpy(out, record.data(), record.size());
    std::memset(out + record.size(), 0, devmsg::wire::RecordSize - record.size());
    return true;
}

size_t ReplyQueue::Size() const
{
    std::lock_guard lock(mutex_);
    return records_.size();
}

void ReplyQueue::Clear()
{
    std::lock_guard lock(mutex_);
    records_.clear();
}

} // namespace devmsg
