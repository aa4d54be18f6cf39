// The one reading of an IPv4 address in the dotted form a device reports and an operator
// types: four decimal parts of 0 to 255, no leading zeros (other readers take those as
// octal), nothing before or after.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace rtl {

std::optional<std::array<uint8_t, 4>> ParseDottedIPv4(std::string_view text);

// That, and one host: neither 0.0.0.0 nor 255.255.255.255, which name every host or none.
bool IsDottedIPv4Host(std::string_view text);

} // namespace rtl
