// The system's text is 8-bit in the Windows code page 1252, while this desktop speaks UTF-8.
// Files written on either kind of machine are read; what goes to a device is code page 1252.
#pragma once

#include <string>
#include <string_view>

namespace rtl {

bool IsValidUtf8(std::string_view bytes);

// Windows-1252 bytes as UTF-8. Its five unassigned bytes become the C1 controls of the same
// value, as the platform's own conversion does.
std::string Cp1252ToUtf8(std::string_view bytes);

// UTF-8 as Windows-1252; a character the code page cannot hold, and a malformed sequence,
// becomes '?'.
std::string Utf8ToCp1252(std::string_view utf8);

// Text from a file or a device as UTF-8: kept as it is when it is valid UTF-8, else read as
// Windows-1252 (which every byte string is).
std::string TextAsUtf8(std::string_view bytes);

} // namespace rtl
