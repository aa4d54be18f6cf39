#include "cli/Units.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace fleet {

namespace {

std::string Printf(const char* format, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

std::string FormatBytes(uint64_t bytes)
{
    if (bytes < 1024) return std::to_string(bytes) + " B";
    const double kib = static_cast<double>(bytes) / 1024.0;
    if (kib < 1024.0) return Printf("%.1f KiB", kib);
    const double mib = kib / 1024.0;
    if (mib < 1024.0) return Printf("%.1f MiB", mib);
    return Printf("%.2f GiB", mib / 1024.0);
}

std::string FormatSeconds(double seconds)
{
    if (seconds < 0) seconds = 0;
    if (seconds < 60.0) return Printf("%.1f s", seconds);
    const auto whole = static_cast<uint64_t>(seconds);
    char text[32];
    if (whole < 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                      static_cast<unsigned long long>(whole % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned long long>(whole / 60 % 60),
                      static_cast<unsigned long long>(whole % 60));
    return text;
}

std::string FormatRate(double bytesPerSecond)
{
    if (!(bytesPerSecond > 0)) return "-";
    return FormatBytes(static_cast<uint64_t>(bytesPerSecond)) + "/s";
}

std::optional<uint64_t> ParseRate(std::string_view text)
{
    uint64_t scale = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 'k':
        case 'K': scale = 1000; break;
        case 'M': scale = 1000 * 1000; break;
        case 'g':
        case 'G': scale = 1000 * 1000 * 1000; break;
        default: break;
        }
        if (scale > 1) text.remove_suffix(1);
    }
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 13 || !digits(whole) || !digits(fraction) ||
        (point != std::string_view::npos && fraction.empty()) || fraction.size() > 9)
        return std::nullopt;
    double value = 0;
    for (const char c : whole)
        value = value * 10 + (c - '0');
    double place = 0.1;
    for (const char c : fraction) {
        value += (c - '0') * place;
        place /= 10;
    }
    const double bits = std::round(value * static_cast<double>(scale));
    if (bits < 1 || bits > 1e12) return std::nullopt;
    return static_cast<uint64_t>(bits);
}

std::string FormatBits(uint64_t bitsPerSecond)
{
    const auto text = [](double value, const char* unit) {
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, "%.*f %s", value == std::floor(value) ? 0 : 1, value, unit);
        return std::string(buffer);
    };
    const double v = static_cast<double>(bitsPerSecond);
    if (v >= 1e9) return text(std::round(v / 1e8) / 10, "Gbit/s");
    if (v >= 1e6) return text(std::round(v / 1e5) / 10, "Mbit/s");
    if (v >= 1e3) return text(std::round(v / 1e2) / 10, "kbit/s");
    return text(v, "bit/s");
}

std::string ProgressLine(std::string_view who, uint64_t sent, uint64_t total, double seconds, size_t width)
{
    const uint64_t percent = total > 0 ? std::min<uint64_t>(sent * 100 / total, 100) : 100;
    const double rate = seconds > 0 ? static_cast<double>(sent) / seconds : 0.0;
    std::string left = "--";
    if (rate > 0 && sent <= total) left = FormatSeconds(static_cast<double>(total - sent) / rate);
    // Who: an address in a column of its own, or an address and its label whole.
    std::string head(who);
    if (!head.empty()) head += std::string(head.size() < 15 ? 16 - head.size() : 1, ' ');
    char percentText[16];
    std::snprintf(percentText, sizeof percentText, "%3llu%%  ", static_cast<unsigned long long>(percent));
    head += percentText;
    std::string line =
        head + FormatBytes(sent) + " / " + FormatBytes(total) + "  " + FormatRate(rate) + "  " + left + " left";
    if (line.size() > width) line.resize(width);
    return line;
}

uint64_t BlocksFor(uint64_t size, uint32_t blockSize)
{
    return blockSize == 0 ? 0 : size / blockSize + 1;
}

} // namespace fleet
