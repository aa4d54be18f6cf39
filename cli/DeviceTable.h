// Discovery answers gathered into one row per device, and the texts that explain why a
// device found this way is not written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

struct DeviceEntry {
    std::string ip;
    std::string mac; // "00:1b:7a:00:00:0a"
    std::string name;
    std::vector<uint8_t> protocols;          // discovery forms it answered with, ascending, each once
    std::vector<std::string> conflicts = {}; // other hardware addresses that claimed the same IP
};

std::string MacText(std::span<const uint8_t> record);
// The device a discovery answer describes, with no forms yet.
DeviceEntry DeviceFromAnswer(std::span<const uint8_t> record);

// Collects discovery answers: one entry per reported address, repeated answers and both
// forms merged. Records that are not discovery answers are ignored; so are answers whose IP
// text is no address (they are counted apart, see Malformed).
class DeviceTable {
public:
    // True when the record was a discovery answer.
    bool Add(std::span<const uint8_t> record);
    // Sorted by address value.
    std::vector<DeviceEntry> Sorted() const;
    const DeviceEntry* Find(std::string_view ip) const;
    // The other addresses that answered from a hardware address that answered for ip,
    // sorted: a password request, which goes to a hardware address, would reach them all.
    std::vector<std::string> SameMac(std::string_view ip) const;
    // The first answer of each form from the device's first hardware address, to ask for its password.
    std::vector<std::vector<uint8_t>> Answers(std::string_view ip) const;
    // IP texts of answers that were no address, made safe to print, each once.
    const std::vector<std::string>& Malformed() const { return malformed_; }

private:
    struct Row {
        DeviceEntry entry;
        std::vector<std::vector<uint8_t>> answers;
    };
    std::vector<Row> rows_;
    std::vector<std::string> malformed_;
};

// "several devices answer for 127.0.0.10: 00:1b:..., 00:1b:..."
std::string ConflictText(const DeviceEntry& device);
// "00:1b:... answers for 127.0.0.32 and also for 127.0.0.31: ..."; others from SameMac.
std::string DuplicateMacText(const DeviceEntry& device, const std::vector<std::string>& others);

// The signed image's models (empty: any) against the device's discovery name: nullopt when
// it may be written, else why not.
std::optional<std::string> WrongModelText(const DeviceEntry& device, const std::vector<std::string>& models);

} // namespace fleet
