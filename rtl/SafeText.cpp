#include "rtl/SafeText.h"

#include "rtl/TextCodec.h"

#include <cstdint>

namespace rtl {
namespace {

// The UTF-8 sequence that starts at text[at] by its first byte; 1 for a byte that starts none.
size_t SequenceLength(std::string_view text, size_t at)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    const size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc2 ? 2 : 1;
    return length > 1 && IsValidUtf8(text.substr(at, length)) ? length : 1;
}

// U+0080..U+009F are 0xc2 0x80..0x9f.
bool IsC1Sequence(std::string_view sequence)
{
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xc2 &&
           static_cast<unsigned char>(sequence[1]) < 0xa0;
}

void AppendHex(std::string& out, unsigned char byte)
{
    static constexpr char HexDigits[] = "0123456789abcdef";
    out += "\\x";
    out += HexDigits[byte >> 4];
    out += HexDigits[byte & 0xf];
}

} // namespace

std::string OneLine(std::string_view text)
{
    std::string line(text);
    for (size_t at; (at = line.find("\r\n")) != std::string::npos;)
        line.replace(at, 2, ": ");
    return line;
}

std::string EscapeControls(std::string_view text, EightBit eightBit)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const size_t length = eightBit == EightBit::EscapeC1 && byte >= 0x80 ? SequenceLength(text, i) : 1;
        const std::string_view sequence = text.substr(i, length);
        const bool control = byte < 0x20 || byte == 0x7f ||
                             (eightBit == EightBit::EscapeC1 &&
                              (IsC1Sequence(sequence) || (length == 1 && byte >= 0x80 && byte < 0xa0)));
        if (control) {
            for (const char c : sequence)
                AppendHex(out, static_cast<unsigned char>(c));
        } else if (byte == '\\') {
            out += "\\\\";
        } else {
            out += sequence;
        }
        i += length;
    }
    return out;
}

std::string SafeText(std::string_view text)
{
    std::string safe;
    safe.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const size_t length = byte < 0x80 ? 1 : SequenceLength(text, i);
        const std::string_view sequence = text.substr(i, length);
        const bool unsafe = byte < 0x20 || byte == 0x7f || (byte >= 0x80 && length == 1) || IsC1Sequence(sequence);
        safe += unsafe ? std::string_view("?") : sequence;
        i += length;
    }
    return safe;
}

std::string MaskLines(std::string_view text)
{
    std::string masked;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        masked += SafeText(text.substr(start, end - start));
        if (end == std::string_view::npos) break;
        masked += '\n';
        start = end + 1;
    }
    return masked;
}

std::string DisplayText(std::string_view bytes)
{
    return SafeText(Cp1252ToUtf8(bytes));
}

} // namespace rtl
