#include "FleetCore.h"

#include "DeviceFrames.h"
#include "DottedIPv4.h"
#include "TextCodec.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace fleet {

namespace {

std::string_view Trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string Printf(const char* format, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

bool IsDeviceAddress(std::string_view text)
{
    return ParseDottedIPv4(text).has_value();
}

uint32_t AddressValue(std::string_view text)
{
    const auto parts = ParseDottedIPv4(text);
    if (!parts) return 0;
    return static_cast<uint32_t>((*parts)[0]) << 24 | static_cast<uint32_t>((*parts)[1]) << 16 |
           static_cast<uint32_t>((*parts)[2]) << 8 | static_cast<uint32_t>((*parts)[3]);
}

AddressList ParseAddressList(std::string_view text, std::string_view sourceName)
{
    AddressList list;
    size_t lineNumber = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        line = Trim(line);
        if (line.empty() || line.front() == '#') continue;
        if (!IsDeviceAddress(line)) {
            list.error = std::string(sourceName) + ":" + std::to_string(lineNumber) + ": not an IPv4 address: '" +
                         std::string(line) + "'";
            return list;
        }
        std::string address(line);
        if (std::find(list.addresses.begin(), list.addresses.end(), address) != list.addresses.end())
            list.duplicates.push_back(address);
        else
            list.addresses.push_back(std::move(address));
    }
    return list;
}

std::string MacText(std::span<const uint8_t> record)
{
    std::string text;
    for (size_t i = 0; i < DeviceFrames::MacSize; ++i) {
        char part[4];
        std::snprintf(part, sizeof part, i == 0 ? "%02x" : ":%02x",
                      DeviceFrames::ReplyByte(record, DeviceFrames::RepMac + i));
        text += part;
    }
    return text;
}

std::string DisplayText(std::string_view bytes)
{
    // Device text is 8-bit in the window's code page; control bytes would move a terminal's cursor.
    std::string masked(bytes);
    for (char& c : masked) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = '?';
    }
    return Cp1252ToUtf8(masked);
}

DeviceEntry DeviceFromAnswer(std::span<const uint8_t> record)
{
    return {DisplayText(DeviceFrames::ReplyIpText(record)),
            MacText(record),
            DisplayText(DeviceFrames::ReplyName(record)),
            {}};
}

bool DeviceTable::Add(std::span<const uint8_t> record)
{
    if (!DeviceFrames::IsDiscoveryAnswer(record)) return false;
    const uint8_t protocol = DeviceFrames::ReplyProtocol(record);
    DeviceEntry device = DeviceFromAnswer(record);
    auto it =
        std::find_if(entries_.begin(), entries_.end(), [&](const DeviceEntry& e) { return e.ip == device.ip; });
    if (it == entries_.end()) {
        entries_.push_back(std::move(device));
        it = entries_.end() - 1;
    }
    auto& protocols = it->protocols;
    if (std::find(protocols.begin(), protocols.end(), protocol) == protocols.end()) {
        protocols.push_back(protocol);
        std::sort(protocols.begin(), protocols.end());
    }
    return true;
}

std::vector<DeviceEntry> DeviceTable::Sorted() const
{
    auto sorted = entries_;
    std::sort(sorted.begin(), sorted.end(), [](const DeviceEntry& a, const DeviceEntry& b) {
        const bool aValid = IsDeviceAddress(a.ip), bValid = IsDeviceAddress(b.ip);
        if (aValid != bValid) return aValid;
        if (aValid) return AddressValue(a.ip) < AddressValue(b.ip);
        return a.ip < b.ip;
    });
    return sorted;
}

namespace {

constexpr std::array<std::string_view, 8> ResultNames = {
    "done",       "no-device", "password-refused", "password-timeout",
    "tftp-error", "timeout",   "local-error",      "interrupted"};

} // namespace

std::string_view ResultName(Result result)
{
    return ResultNames[static_cast<size_t>(result)];
}

std::optional<Result> ResultFromName(std::string_view name)
{
    for (size_t i = 0; i < ResultNames.size(); ++i)
        if (ResultNames[i] == name) return static_cast<Result>(i);
    return std::nullopt;
}

bool IsRetryable(Result result)
{
    return result == Result::Timeout || result == Result::TftpError || result == Result::PasswordTimeout;
}

std::string FormatBytes(uint64_t bytes)
{
    if (bytes < 1024) return std::to_string(bytes) + " B";
    const double kib = static_cast<double>(bytes) / 1024.0;
    if (kib < 1024.0) return Printf("%.1f KiB", kib);
    const double mib = kib / 1024.0;
    if (mib < 1024.0) return Printf("%.1f MiB", mib);
    return Printf("%.2f GiB", mib / 1024.0);
}

std::string FormatSeconds(double seconds)
{
    if (seconds < 0) seconds = 0;
    if (seconds < 60.0) return Printf("%.1f s", seconds);
    const auto whole = static_cast<uint64_t>(seconds);
    char text[32];
    if (whole < 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                      static_cast<unsigned long long>(whole % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned long long>(whole / 60 % 60),
                      static_cast<unsigned long long>(whole % 60));
    return text;
}

std::string FormatRate(double bytesPerSecond)
{
    if (!(bytesPerSecond > 0)) return "-";
    return FormatBytes(static_cast<uint64_t>(bytesPerSecond)) + "/s";
}

std::string ProgressLine(std::string_view ip, uint64_t sent, uint64_t total, double seconds, size_t width)
{
    const uint64_t percent = total > 0 ? std::min<uint64_t>(sent * 100 / total, 100) : 100;
    const double rate = seconds > 0 ? static_cast<double>(sent) / seconds : 0.0;
    std::string left = "--";
    if (rate > 0 && sent <= total) left = FormatSeconds(static_cast<double>(total - sent) / rate);
    char head[64];
    if (ip.empty())
        std::snprintf(head, sizeof head, "%3llu%%  ", static_cast<unsigned long long>(percent));
    else
        std::snprintf(head, sizeof head, "%-15.*s %3llu%%  ", static_cast<int>(std::min<size_t>(ip.size(), 15)),
                      ip.data(), static_cast<unsigned long long>(percent));
    std::string line =
        head + FormatBytes(sent) + " / " + FormatBytes(total) + "  " + FormatRate(rate) + "  " + left + " left";
    if (line.size() > width) line.resize(width);
    return line;
}

uint64_t BlocksFor(uint64_t size, uint32_t blockSize)
{
    return blockSize == 0 ? 0 : size / blockSize + 1;
}

} // namespace fleet
