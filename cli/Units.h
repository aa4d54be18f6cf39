// Sizes, durations, rates and block counts as an operator reads and types them, and the
// progress line made of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fleet {

std::string FormatBytes(uint64_t bytes);       // "512 B", "4.0 KiB", "3.5 MiB"
std::string FormatSeconds(double seconds);     // "0.4 s", "1:05"
std::string FormatRate(double bytesPerSecond); // "1.2 MiB/s"

// "127.0.0.10   42%  1.7 MiB / 4.0 MiB  3.1 MiB/s  0:01 left", cut to width. who is the
// device's address, or its address and label; empty for none.
std::string ProgressLine(std::string_view who, uint64_t sent, uint64_t total, double seconds, size_t width);

// A rate in bits per second as --max-rate takes it: digits, optionally with a fraction, and
// k, M or G (powers of 1000, either case but m, which would read as milli): "20M", "1.5G",
// "800k", "64000". nullopt for anything else, 0, or more than 1000G.
std::optional<uint64_t> ParseRate(std::string_view text);
// "20 Mbit/s", "1.5 Gbit/s", "64 kbit/s", "900 bit/s".
std::string FormatBits(uint64_t bitsPerSecond);

// Blocks a write of size bytes needs at blockSize (the last, short block included).
uint64_t BlocksFor(uint64_t size, uint32_t blockSize);

} // namespace fleet
