// Text-to-integer conversion with the runtime's rules: leading blanks, an optional sign
// before decimal digits, hexadecimal after a leading "$", "x", "X", "0x" or "0X"
// (up to eight digits, taken as 32-bit two's complement), nothing after the number.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace rtl {

std::optional<int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt, but raises EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view text);

// The settings-file reading: "0x"/"0X" at the start of a text longer than two characters
// becomes "$" first; a text that does not convert gives the default.
int32_t IniStrToIntDef(std::string_view text, int32_t defaultValue);

} // namespace rtl
