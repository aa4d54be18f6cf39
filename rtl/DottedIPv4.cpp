#include "rtl/DottedIPv4.h"

namespace rtl {

std::optional<std::array<uint8_t, 4>> ParseDottedIPv4(std::string_view text)
{
    std::array<uint8_t, 4> parts{};
    size_t at = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != '.') return std::nullopt;
            ++at;
        }
        const size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3)
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        const size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
        parts[i] = static_cast<uint8_t>(value);
    }
    if (at != text.size()) return std::nullopt;
    return parts;
}

bool IsDottedIPv4Host(std::string_view text)
{
    return text != "0.0.0.0" && text != "255.255.255.255" && ParseDottedIPv4(text).has_value();
}

} // namespace rtl
