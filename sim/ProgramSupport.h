// Pieces every helper program of the simulated device shares: the stop signals, the port
// file a test waits for, the share options (--drop, --dup, ...), the link's fault switches
// and the command line.
#pragma once

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace sim {

struct SimTftpOptions;

// Writes the port number and a line feed to path under a temporary name first, so that a
// reader waiting for the file never sees half a number. Throws std::runtime_error.
void WritePortFile(const std::string& path, std::uint16_t port);

// A share between 0 and 1 inclusive ("0.25", "1"); nullopt for anything else (NaN too,
// which a plain range check lets through).
std::optional<double> ParseShare(const std::string& text);
// The option check for a share.
CLI::Validator Share();

// A time in milliseconds or a range of them, "12" or "5-50", each from 0 to 60000 and the
// first no larger than the second; nullopt for anything else. One time is a range of one.
std::optional<std::pair<int, int>> ParseTimeRange(const std::string& text);

// --ack-delay-ms: the device's service time before every ACK of data, one time or a range
// drawn from for each ACK; seedOption names the option whose seed the draws take.
void AddServiceTimeOption(CLI::App& app, SimTftpOptions& options, const std::string& seedOption,
                          const std::string& group);

// The switches of a lossy link and a busy device for the TFTP server's options: losses on
// arrival and of ACKs, flash-erase pauses, a small receive buffer and the losses' seed.
// One declaration for every program that runs the server, so their lists cannot drift;
// each is named "--" + prefix + its name (prefix "tftp-": --tftp-lose-received).
void AddLinkFaultOptions(CLI::App& app, SimTftpOptions& options, const std::string& prefix,
                         const std::string& group);

// Parses the command line. Returns the status to exit with when the program should not go
// on: 0 after --help (the help on standard output), 2 after a usage error (said on standard
// error, naming the option).
std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv);

} // namespace sim
