#include "cli/FleetCore.h"

#include "devmsg/wire/DeviceFrames.h"
#include "rtl/DottedIPv4.h"
#include "rtl/TextCodec.h"
#include "rtl/SafeText.h"

#include <algorithm>
#include <array>
#include <cmath>
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
    return rtl::IsDottedIPv4Host(text);
}

uint32_t AddressValue(std::string_view text)
{
    const auto parts = rtl::ParseDottedIPv4(text);
    if (!parts) return 0;
    return static_cast<uint32_t>((*parts)[0]) << 24 | static_cast<uint32_t>((*parts)[1]) << 16 |
           static_cast<uint32_t>((*parts)[2]) << 8 | static_cast<uint32_t>((*parts)[3]);
}

namespace {

// One line's fields, or the reason it is bad. Extra fields are never quoted back: a password
// written into the list by mistake must not reach the output.
std::string ParseTarget(std::string_view line, Target& target)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::vector<std::string_view> fields;
    while (true) {
        while (!line.empty() && blank(line.front()))
            line.remove_prefix(1);
        if (line.empty() || line.front() == '#') break;
        size_t end = 0;
        while (end < line.size() && !blank(line[end]))
            ++end;
        fields.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
    if (!IsDeviceAddress(fields[0])) return "not an IPv4 address: '" + std::string(fields[0]) + "'";
    target.ip = fields[0];
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string_view field = fields[i];
        if (field.front() == '@') {
            if (!target.passwordFile.empty()) return "more than one password file";
            if (field.size() == 1) return "'@' without a password file after it";
            if (field == "@-") return "a password file cannot be standard input";
            target.passwordFile = field.substr(1);
            continue;
        }
        if (!target.label.empty())
            return "a third field that is neither a label nor '@' and a password file (a label has no blanks)";
        if (field.size() > MaxLabelSize)
            return "the label is longer than " + std::to_string(MaxLabelSize) + " bytes";
        if (std::any_of(field.begin(), field.end(), [](char c) {
                const auto byte = static_cast<unsigned char>(c);
                return byte < 0x20 || byte == 0x7f;
            }))
            return "the label holds a control character";
        target.label = field;
    }
    return {};
}

} // namespace

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
        const std::string where = std::string(sourceName) + ":" + std::to_string(lineNumber) + ": ";
        Target target;
        target.line = lineNumber;
        if (const auto error = ParseTarget(line, target); !error.empty()) {
            list.errors.push_back({lineNumber, where + error});
            continue;
        }
        const auto same = std::find_if(list.targets.begin(), list.targets.end(),
                                       [&](const Target& t) { return t.ip == target.ip; });
        if (same == list.targets.end()) {
            list.targets.push_back(std::move(target));
        } else if (same->label == target.label && same->passwordFile == target.passwordFile) {
            list.duplicates.push_back(target.ip);
        } else {
            list.errors.push_back({lineNumber, where + target.ip + " is listed on line " +
                                                   std::to_string(same->line) +
                                                   " too, with another label or password file"});
        }
    }
    return list;
}

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

bool ShouldTryAgain(Result result, int attempts, int retries)
{
    const bool retryable = result == Result::Timeout || result == Result::TftpError ||
                           result == Result::PasswordTimeout || result == Result::NoDevice;
    return retryable && attempts <= retries;
}

bool Succeeded(Result result, bool waitedBack, bool cameBack)
{
    if (result == Result::AlreadyDone || result == Result::WouldUpgrade) return true;
    return result == Result::Done && (!waitedBack || cameBack);
}

DevicePassword EncodePassword(const std::string& text, const std::string& whose)
{
    if (text.empty()) return {std::nullopt, whose + " is empty", {}};
    if (text.find('\0') != std::string::npos) return {std::nullopt, whose + " contains a NUL byte", {}};
    DevicePassword password;
    const bool utf8 = rtl::IsValidUtf8(text);
    password.encoded = utf8 ? rtl::Utf8ToCp1252(text) : text;
    if (utf8 && rtl::Cp1252ToUtf8(*password.encoded) != text)
        password.warnings.push_back(
            "warning: " + whose +
            " has characters Windows-1252 cannot hold; they are sent as '?', as the window sends them");
    if (password.encoded->size() > devmsg::frames::PasswordSize)
        password.warnings.push_back("warning: " + whose + " is " + std::to_string(password.encoded->size()) +
                                    " bytes long in Windows-1252; devices compare the first 12");
    return password;
}

int RunExitStatus(const std::vector<DeviceEnd>& devices, bool interrupted)
{
    if (interrupted) return ExitInterrupted;
    const auto any = [&](auto predicate) { return std::any_of(devices.begin(), devices.end(), predicate); };
    if (any([](const DeviceEnd& d) { return d.result == Result::Skipped; })) return ExitStopped;
    // The image went in, but a device that never answers again needs someone.
    if (devices.empty() || any([](const DeviceEnd& d) { return !Succeeded(d.result, d.waitedBack, d.cameBack); }))
        return ExitFailed;
    return ExitDone;
}

void RestartWatch::Answer(std::string_view mac, int64_t atMs)
{
    if (Settled()) return;
    if (mac != mac_) {
        // Whatever answers now is not the device that was checked and written.
        otherMac_ = mac;
        state_ = State::AddressChanged;
        return;
    }
    if (state_ == State::Silent) {
        state_ = State::Back;
        backMs_ = atMs;
        return;
    }
    answered_ = true;
    quietRounds_ = 0;
    lastAnswerMs_ = atMs;
}

void RestartWatch::EndRound(bool lost)
{
    if (state_ != State::Up) return;
    if (answered_ || lost)
        quietRounds_ = 0;
    else if (++quietRounds_ >= SilentRounds)
        state_ = State::Silent;
    answered_ = false;
}

Result AfterWrite(bool confirmed, bool waitedBack, RestartWatch::State state)
{
    using State = RestartWatch::State;
    if (!waitedBack) return confirmed ? Result::Done : Result::Unconfirmed;
    switch (state) {
    case State::AddressChanged: return Result::AddressChanged;
    case State::Back: return confirmed ? Result::Done : Result::BackUnconfirmed;
    case State::Up: return confirmed ? Result::NotRestarted : Result::Unconfirmed;
    case State::Silent: break;
    }
    // Restarted but never heard again: done (it counts as not back) when its end was confirmed.
    return confirmed ? Result::Done : Result::Unconfirmed;
}

bool RolloutGate::MayStart(size_t position) const
{
    if (Stopped()) return false;
    return position < canaries_ || canariesSettled_ >= canaries_;
}

void RolloutGate::Settled(size_t position, bool success, std::string_view what)
{
    if (position < canaries_) ++canariesSettled_;
    if (success) return;
    ++failures_;
    if (Stopped()) return;
    // A failed canary stops even the canaries not yet started: the image is suspect.
    if (position < canaries_)
        reason_ = "a canary failed (" + std::string(what) + ")";
    else if (maxFailures_ > 0 && failures_ >= maxFailures_)
        reason_ = std::to_string(failures_) + (failures_ == 1 ? " device" : " devices") +
                  " failed (--max-failures " + std::to_string(maxFailures_) + ")";
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

std::optional<uint64_t> ParseRate(std::string_view text)
{
    uint64_t scale = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 'k':
        case 'K': scale = 1000; break;
        case 'M': scale = 1000 * 1000; break;
        case 'g':
        case 'G': scale = 1000 * 1000 * 1000; break;
        default: break;
        }
        if (scale > 1) text.remove_suffix(1);
    }
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 13 || !digits(whole) || !digits(fraction) ||
        (point != std::string_view::npos && fraction.empty()) || fraction.size() > 9)
        return std::nullopt;
    double value = 0;
    for (const char c : whole)
        value = value * 10 + (c - '0');
    double place = 0.1;
    for (const char c : fraction) {
        value += (c - '0') * place;
        place /= 10;
    }
    const double bits = std::round(value * static_cast<double>(scale));
    if (bits < 1 || bits > 1e12) return std::nullopt;
    return static_cast<uint64_t>(bits);
}

std::string FormatBits(uint64_t bitsPerSecond)
{
    const auto text = [](double value, const char* unit) {
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, "%.*f %s", value == std::floor(value) ? 0 : 1, value, unit);
        return std::string(buffer);
    };
    const double v = static_cast<double>(bitsPerSecond);
    if (v >= 1e9) return text(std::round(v / 1e8) / 10, "Gbit/s");
    if (v >= 1e6) return text(std::round(v / 1e5) / 10, "Mbit/s");
    if (v >= 1e3) return text(std::round(v / 1e2) / 10, "kbit/s");
    return text(v, "bit/s");
}

std::string ProgressLine(std::string_view who, uint64_t sent, uint64_t total, double seconds, size_t width)
{
    const uint64_t percent = total > 0 ? std::min<uint64_t>(sent * 100 / total, 100) : 100;
    const double rate = seconds > 0 ? static_cast<double>(sent) / seconds : 0.0;
    std::string left = "--";
    if (rate > 0 && sent <= total) left = FormatSeconds(static_cast<double>(total - sent) / rate);
    // Who: an address in a column of its own, or an address and its label whole.
    std::string head(who);
    if (!head.empty()) head += std::string(head.size() < 15 ? 16 - head.size() : 1, ' ');
    char percentText[16];
    std::snprintf(percentText, sizeof percentText, "%3llu%%  ", static_cast<unsigned long long>(percent));
    head += percentText;
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
