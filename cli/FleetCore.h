// The rules of fleet upgrades that need no socket, process or clock: address lists,
// merging discovery answers, the password check of one device, outcomes and their retry
// policy, and the text of progress lines.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// ---- Addresses ---------------------------------------------------------------------------

// A dotted IPv4 address exactly as a device reports it ("127.0.0.10"): four decimal parts
// 0-255, no leading zeros, no blanks. Devices are matched by this text, byte for byte, so
// any other spelling would never match.
bool IsDeviceAddress(std::string_view text);
// Host-order value of a valid address, for sorting.
uint32_t AddressValue(std::string_view text);

struct AddressList {
    std::vector<std::string> addresses; // in the order given, each once
    std::vector<std::string> duplicates;
    std::string error; // empty when every line was good
};

// One address per line; blank lines and lines starting with '#' are skipped, blanks around
// an address are ignored. The first bad line stops the parse with an error naming it.
AddressList ParseAddressList(std::string_view text, std::string_view sourceName);

// ---- Discovery answers --------------------------------------------------------------------

struct DeviceEntry {
    std::string ip;
    std::string mac; // "00:1b:7a:00:00:0a"
    std::string name;
    std::vector<uint8_t> protocols;          // discovery forms it answered with, ascending, each once
    std::vector<std::string> conflicts = {}; // other hardware addresses that claimed the same IP
};

std::string MacText(std::span<const uint8_t> record);
// A device's 8-bit text (the window's code page) as UTF-8 that is safe to print and to put in
// JSON: control characters, C1 ones included, become '?', so a device name can never move a
// terminal's cursor.
std::string DisplayText(std::string_view bytes);
// Text from the operator or a file (UTF-8 or not) made safe the same way: control characters
// and bytes that are no UTF-8 become '?'.
std::string SafeText(std::string_view text);

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

// ---- Password check of one device -----------------------------------------------------------

// Follows the replies of one device's discovery and password exchange. A matching discovery
// answer asks for one password request of its form (one per form, however often the answer
// repeats); a password answer settles the check. Like the window, any accepted answer wins.
class PasswordCheck {
public:
    enum class State { Searching, Asked, Accepted, Refused };

    PasswordCheck(std::string ip, std::string password) : ip_(std::move(ip)), password_(std::move(password)) {}

    // Frames to send for this reply record (password requests), possibly none.
    std::vector<std::vector<uint8_t>> OnRecord(std::span<const uint8_t> record);

    State state() const { return state_; }
    // Settled: accepted, or refused with no request left unanswered.
    bool Settled() const;
    const DeviceEntry& device() const { return device_; }
    uint16_t refusal() const { return refusal_; }
    uint16_t refusalStatus() const { return refusalStatus_; }

private:
    std::string ip_;
    std::string password_;
    State state_ = State::Searching;
    DeviceEntry device_;
    std::vector<uint8_t> asked_; // password protocols requested
    int unanswered_ = 0;
    uint16_t refusal_ = 0;
    uint16_t refusalStatus_ = 0;
};

// ---- Outcomes -----------------------------------------------------------------------------

enum class Result {
    Done,
    NoDevice,
    AddressConflict,
    PasswordRefused,
    PasswordTimeout,
    TftpError,
    Timeout,
    LocalError,
    Interrupted
};

std::string_view ResultName(Result result);
std::optional<Result> ResultFromName(std::string_view name);
// The retry decision: whether a device whose attempt number `attempts` ended with result is
// tried again (from discovery) under --retries. Time-outs, TFTP errors, missing answers are;
// a refused password, an address conflict, a local error or a stop never are.
bool ShouldTryAgain(Result result, int attempts, int retries);

// ---- Text ------------------------------------------------------------------------------------

std::string FormatBytes(uint64_t bytes);       // "512 B", "4.0 KiB", "3.5 MiB"
std::string FormatSeconds(double seconds);     // "0.4 s", "1:05"
std::string FormatRate(double bytesPerSecond); // "1.2 MiB/s"

// "127.0.0.10   42%  1.7 MiB / 4.0 MiB  3.1 MiB/s  0:01 left", cut to width.
std::string ProgressLine(std::string_view ip, uint64_t sent, uint64_t total, double seconds, size_t width);

// Blocks a write of size bytes needs at blockSize (the last, short block included).
uint64_t BlocksFor(uint64_t size, uint32_t blockSize);

} // namespace fleet
