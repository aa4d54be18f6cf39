// The rules of fleet upgrades that need no socket, process or clock: address lists,
// merging discovery answers, outcomes and their retry policy, and the text of progress
// lines. One device's check is upgrade::DeviceCheck, shared with the window.
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
    std::vector<uint8_t> protocols; // discovery forms it answered with, ascending, each once
};

std::string MacText(std::span<const uint8_t> record);
// The device a discovery answer describes, with no forms yet.
DeviceEntry DeviceFromAnswer(std::span<const uint8_t> record);
// A device's 8-bit text (Latin-1) as UTF-8 that is safe to print and to put in JSON: control
// characters become '?', so a device name can never move a terminal's cursor.
std::string DisplayText(std::string_view bytes);

// Collects discovery answers: one entry per reported address, repeated answers and both
// forms merged. Records that are not discovery answers are ignored.
class DeviceTable {
public:
    // True when the record was a discovery answer.
    bool Add(std::span<const uint8_t> record);
    // Sorted by address value; texts that are no address come last, by text.
    std::vector<DeviceEntry> Sorted() const;

private:
    std::vector<DeviceEntry> entries_;
};

// ---- Outcomes -----------------------------------------------------------------------------

enum class Result {
    Done,
    NoDevice,
    PasswordRefused,
    PasswordTimeout,
    TftpError,
    Timeout,
    LocalError,
    Interrupted
};

std::string_view ResultName(Result result);
std::optional<Result> ResultFromName(std::string_view name);
// Time-outs and TFTP errors are tried again from discovery; a refused password never is.
bool IsRetryable(Result result);

// ---- Text ------------------------------------------------------------------------------------

std::string FormatBytes(uint64_t bytes);       // "512 B", "4.0 KiB", "3.5 MiB"
std::string FormatSeconds(double seconds);     // "0.4 s", "1:05"
std::string FormatRate(double bytesPerSecond); // "1.2 MiB/s"

// "127.0.0.10   42%  1.7 MiB / 4.0 MiB  3.1 MiB/s  0:01 left", cut to width.
std::string ProgressLine(std::string_view ip, uint64_t sent, uint64_t total, double seconds, size_t width);

// Blocks a write of size bytes needs at blockSize (the last, short block included).
uint64_t BlocksFor(uint64_t size, uint32_t blockSize);

} // namespace fleet
