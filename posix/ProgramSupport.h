// Pieces every helper program of the simulated device shares: the stop signals, the port
// file a test waits for, and the share options (--drop, --dup, ...).
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>

namespace posix {

// Writes the port number and a line feed to path under a temporary name first, so that a
// reader waiting for the file never sees half a number. Throws std::runtime_error.
void WritePortFile(const std::string& path, std::uint16_t port);

// A share between 0 and 1 inclusive ("0.25", "1"); nullopt for anything else.
std::optional<double> ParseShare(const std::string& text);
// ParseShare for a command-line option: on bad text, says so as "program: bad share for
// option: text" on standard error and exits with status 2 (usage).
double ShareOption(const char* program, const char* option, const char* text);

} // namespace posix
