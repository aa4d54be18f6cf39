#include "devmsg/DebugPrint.h"

#include "rtl/Exception.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <string>

void DebugPrint(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = rtl::VFormat(format, args);
    va_end(args);
    // One call per line, even for an empty one; nothing is done about a failed write.
    while (::write(STDERR_FILENO, text.data(), text.size()) < 0 && errno == EINTR) {}
}

namespace devmsg {

std::string EscapeControls(std::string_view text)
{
    static constexpr char HexDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += HexDigits[byte >> 4];
            out += HexDigits[byte & 0xf];
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace devmsg
