// Device addresses and the operator's address list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// A dotted IPv4 address exactly as a device reports it ("127.0.0.10"): four decimal parts
// 0-255, no leading zeros, no blanks, one host (not 0.0.0.0 or 255.255.255.255). Devices are
// matched by this text, byte for byte, so any other spelling would never match.
bool IsDeviceAddress(std::string_view text);
// Host-order value of a valid address, for sorting.
uint32_t AddressValue(std::string_view text);

// One line of an address list: the address, optionally a label the operator knows the
// device by, and optionally a file holding this device's own password.
struct Target {
    std::string ip;
    std::string label;        // empty: none
    std::string passwordFile; // empty: the fleet's password; relative to the list's folder
    size_t line = 0;          // in the list, for messages
};

struct LineError {
    size_t line = 0;
    std::string text; // "SOURCE:LINE: what is wrong"
};

struct AddressList {
    std::vector<Target> targets; // in the order given, each address once
    std::vector<std::string> duplicates;
    std::vector<LineError> errors; // one per bad line, in line order
};

// Labels are what an operator reads in tables and logs: printable, no blanks, not starting
// with '@' or '#', at most this many bytes.
constexpr size_t MaxLabelSize = 64;

// One device per line: "ADDRESS [LABEL] [@PASSWORD-FILE]", fields separated by blanks or
// tabs. Blank lines and lines starting with '#' are skipped, and so is the rest of a line
// from a field starting with '#'. Every bad line is named, not only the first. An address
// listed again with the same label and password file is a duplicate (taken once); with
// others it is an error, since it is unclear which holds.
AddressList ParseAddressList(std::string_view text, std::string_view sourceName);

} // namespace fleet
