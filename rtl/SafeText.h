#pragma once
// Text that a device, a server or a file sent, as we show or store it. One family, so that
// whichever way such text takes it can neither forge a line nor drive a terminal.

#include <string>
#include <string_view>

namespace rtl {

// A socket error's two lines ("...\r\n...") as one.
std::string OneLine(std::string_view text);

// Inside one of our lines, bytes kept as sent: C0 controls and DEL become \xNN and the
// backslash is doubled, so that a text holding "\x0a" cannot pose as an escape. With
// EscapeC1 the 8-bit controls go too: U+0080..U+009F written in UTF-8, and bytes 0x80..0x9F
// outside UTF-8 (a terminal not set to UTF-8 reads 0x9B as the escape introducer).
enum class EightBit { Keep, EscapeC1 };
std::string EscapeControls(std::string_view text, EightBit eightBit = EightBit::Keep);

// UTF-8 for a terminal or a JSON report: every control (C0, DEL, C1) and every byte that is
// not UTF-8 becomes '?'.
std::string SafeText(std::string_view text);
// SafeText line by line, the line ends kept: messages that echo what an operator or a file gave.
std::string MaskLines(std::string_view text);
// A device's 8-bit text (the window's code page) as SafeText.
std::string DisplayText(std::string_view bytes);

} // namespace rtl
