// Who runs an upgrade, where the rules differ. The window keeps its behaviour exactly; our
// command-line programs (ftpupg-cli, tftpput) ask more of a device before calling it done.
#pragma once

#include "tftp/ReliableUpload.h"

#include <cstdint>

namespace upgrade {

enum class Policy {
    // A password request for every matching discovery answer; every password answer counts;
    // a transfer the client ended normally is done.
    Window,
    // One password request per discovery form; only answers to a request count; a transfer
    // whose last block was never acknowledged is no success.
    Tool
};

// The device address the window shows when the site has no settings file.
inline constexpr const char* DeviceAddress = "192.168.1.225";
// The TFTP defaults of our command-line tools (ftpupg-cli, tftpput). The window has its own
// (app/WindowSettings.h): tuning these leaves it alone.
inline constexpr int32_t TftpPort = 69;
inline constexpr int32_t ReceiveTimeoutMs = tftp::DefaultTimeoutMs;
inline constexpr int32_t BlockSize = 1024;
// Blocks sent before an acknowledgement (RFC 7440): the largest window whose blocks sent
// again stay within a tenth on lossy links (docs/bench-tftp-matrix.md).
inline constexpr int32_t WindowSize = 8;
// Waits of the whole time-out in a row without progress before "Timeout".
inline constexpr int32_t Tries = tftp::DefaultTries;
// Devices ftpupg-cli writes at once.
inline constexpr int32_t Jobs = 8;
// The most it writes at once: one rate-share slot and one process each.
inline constexpr int32_t MaxJobs = 256;
// The name the device takes its firmware under.
inline constexpr const char* FirmwareTarget = "/";
// How long the window lets the answers come in before it looks at them.
inline constexpr int32_t WindowAnswerWaitMs = 500;
// The same for the fleet tool, which may ask many devices on a busy network.
inline constexpr int32_t ToolAnswerWaitMs = 1000;

// What the operator reads.
namespace text {
inline constexpr const char* NoDevice = "There is no KR730 connected!";
inline constexpr const char* InvalidPassword = "Invalid Password !";
inline constexpr const char* EmptyImage = "Error";
inline constexpr const char* Finished = "Finished";
inline constexpr const char* LastBlockUnconfirmed =
    "the whole image went out, but its last block was never acknowledged: the device may hold it all (it may "
    "have restarted at once)";
inline constexpr const char* DryRunAccepted = "Password accepted (dry run: nothing written)";
} // namespace text

} // namespace upgrade
