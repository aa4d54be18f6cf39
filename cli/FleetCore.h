// The rules of fleet upgrades that need no socket, process or clock: address lists,
// merging discovery answers, outcomes and their retry policy, and the text of progress
// lines. One device's check is upgrade::DeviceCheck, shared with the window.
#pragma once

#include "upgrade/Result.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// ---- Addresses ---------------------------------------------------------------------------

// A dotted IPv4 address exactly as a device reports it ("127.0.0.10"): four decimal parts
// 0-255, no leading zeros, no blanks, one host (not 0.0.0.0 or 255.255.255.255). Devices are
// matched by this text, byte for byte, so any other spelling would never match.
bool IsDeviceAddress(std::string_view text);
// Host-order value of a valid address, for sorting.
uint32_t AddressValue(std::string_view text);

// One line of an address list: the address, optionally a label the operator knows the
// device by, and optionally a file holding this device's own password.
struct Target {
    std::string ip;
    std::string label;        // empty: none
    std::string passwordFile; // empty: the fleet's password; relative to the list's folder
    size_t line = 0;          // in the list, for messages
};

struct LineError {
    size_t line = 0;
    std::string text; // "SOURCE:LINE: what is wrong"
};

struct AddressList {
    std::vector<Target> targets; // in the order given, each address once
    std::vector<std::string> duplicates;
    std::vector<LineError> errors; // one per bad line, in line order
};

// Labels are what an operator reads in tables and logs: printable, no blanks, not starting
// with '@' or '#', at most this many bytes.
constexpr size_t MaxLabelSize = 64;

// One device per line: "ADDRESS [LABEL] [@PASSWORD-FILE]", fields separated by blanks or
// tabs. Blank lines and lines starting with '#' are skipped, and so is the rest of a line
// from a field starting with '#'. Every bad line is named, not only the first. An address
// listed again with the same label and password file is a duplicate (taken once); with
// others it is an error, since it is unclear which holds.
AddressList ParseAddressList(std::string_view text, std::string_view sourceName);

// ---- Discovery answers --------------------------------------------------------------------

struct DeviceEntry {
    std::string ip;
    std::string mac; // "00:1b:7a:00:00:0a"
    std::string name;
    std::vector<uint8_t> protocols;          // discovery forms it answered with, ascending, each once
    std::vector<std::string> conflicts = {}; // other hardware addresses that claimed the same IP
};

std::string MacText(std::span<const uint8_t> record);
// The device a discovery answer describes, with no forms yet.
DeviceEntry DeviceFromAnswer(std::span<const uint8_t> record);

// Collects discovery answers: one entry per reported address, repeated answers and both
// forms merged. Records that are not discovery answers are ignored; so are answers whose IP
// text is no address (they are counted apart, see Malformed).
class DeviceTable {
public:
    // True when the record was a discovery answer.
    bool Add(std::span<const uint8_t> record);
    // Sorted by address value.
    std::vector<DeviceEntry> Sorted() const;
    const DeviceEntry* Find(std::string_view ip) const;
    // The other addresses that answered from a hardware address that answered for ip,
    // sorted: a password request, which goes to a hardware address, would reach them all.
    std::vector<std::string> SameMac(std::string_view ip) const;
    // The first answer of each form from the device's first hardware address, to ask for its password.
    std::vector<std::vector<uint8_t>> Answers(std::string_view ip) const;
    // IP texts of answers that were no address, made safe to print, each once.
    const std::vector<std::string>& Malformed() const { return malformed_; }

private:
    struct Row {
        DeviceEntry entry;
        std::vector<std::vector<uint8_t>> answers;
    };
    std::vector<Row> rows_;
    std::vector<std::string> malformed_;
};

// "several devices answer for 127.0.0.10: 00:1b:..., 00:1b:..."
std::string ConflictText(const DeviceEntry& device);
// "00:1b:... answers for 127.0.0.32 and also for 127.0.0.31: ..."; others from SameMac.
std::string DuplicateMacText(const DeviceEntry& device, const std::vector<std::string>& others);

// The signed image's models (empty: any) against the device's discovery name: nullopt when
// it may be written, else why not.
std::optional<std::string> WrongModelText(const DeviceEntry& device, const std::vector<std::string>& models);

// ---- Outcomes -----------------------------------------------------------------------------

using upgrade::LastResult;
using upgrade::Result;
using upgrade::ResultFromName;
using upgrade::ResultName;

// The retry decision: whether a device whose attempt number `attempts` ended with result is
// tried again (from discovery) under --retries. Time-outs, TFTP errors, missing answers are;
// a refused password, an address conflict, a local error or a stop never are.
bool ShouldTryAgain(Result result, int attempts, int retries);
// The device runs (or, in a dry run, could be given) the image. With a wait for the
// restart, it must also have come back.
bool Succeeded(Result result, bool waitedBack, bool cameBack);

// ---- Passwords -----------------------------------------------------------------------------

// A password as the window sends it: in Windows-1252. Text that is valid UTF-8 is converted;
// other bytes are taken to be Windows-1252 already. whose names it in messages ("the
// password of 127.0.0.10"); the warnings count the bytes that go to the device.
struct DevicePassword {
    std::optional<std::string> encoded; // nothing: error says why (empty, a NUL byte)
    std::string error;
    std::vector<std::string> warnings;
};
DevicePassword EncodePassword(const std::string& text, const std::string& whose);

// ---- Exit status -----------------------------------------------------------------------------

constexpr int ExitDone = 0;    // every device done or already-done (dry run: would-upgrade)
constexpr int ExitFailed = 1;  // a device failed or did not come back; nothing to do
constexpr int ExitUsage = 2;   // the command line or a file it names
constexpr int ExitImage = 3;   // the image was refused
constexpr int ExitStopped = 4; // the rollout stopped and devices were skipped
constexpr int ExitInterrupted = 130;

struct DeviceEnd {
    Result result = Result::Interrupted;
    bool waitedBack = false;
    bool cameBack = false;
};
// The run's exit status from how each device ended: an interruption first, then a stopped
// rollout, then any failure (no device at all is one).
int RunExitStatus(const std::vector<DeviceEnd>& devices, bool interrupted);

// ---- The restart after the write -----------------------------------------------------------

// "Back" is a restart seen whole: the device, which may go on answering for a while after its
// image (it writes flash), falls silent for SilentRounds discovery rounds in a row and then
// answers again, from the hardware address that passed the check. Fed the rounds and the
// answers for the device's address, with their times since the image was written (ms); no
// clock of its own. A round in which answers were lost to a full buffer proves no silence.
class RestartWatch {
public:
    static constexpr int RoundMs = 200; // a restart of one second spans four rounds or more
    static constexpr int SilentRounds = 3;
    enum class State { Up, Silent, Back, AddressChanged };

    explicit RestartWatch(std::string mac) : mac_(std::move(mac)) {}
    void Answer(std::string_view mac, int64_t atMs);
    // The round that began at the last call ended; lost: answers were dropped during it.
    void EndRound(bool lost);
    State state() const { return state_; }
    bool Settled() const { return state_ == State::Back || state_ == State::AddressChanged; }
    int64_t LastAnswerMs() const { return lastAnswerMs_; } // when it was last heard before silence
    int64_t BackMs() const { return backMs_; }
    const std::string& OtherMac() const { return otherMac_; }

private:
    std::string mac_;
    State state_ = State::Up;
    bool answered_ = false; // in the current round
    int quietRounds_ = 0;
    int64_t lastAnswerMs_ = 0;
    int64_t backMs_ = 0;
    std::string otherMac_;
};

// The outcome of a written device once the wait for its restart is over (or, waitedBack
// false, right after the write). confirmed: the last block was acknowledged.
Result AfterWrite(bool confirmed, bool waitedBack, RestartWatch::State state);

// ---- Staged rollouts -----------------------------------------------------------------------

// Which devices may start. The first `canaries` devices (in list order) go first; the rest
// start only once every canary succeeded. Once a canary failed, or `maxFailures` devices
// failed (0: no limit), no further device starts. Positions count the devices to be started.
class RolloutGate {
public:
    RolloutGate(size_t canaries, size_t maxFailures) : canaries_(canaries), maxFailures_(maxFailures) {}

    bool MayStart(size_t position) const;
    // A device's final outcome; what names it for the reason ("127.0.0.10: tftp-error").
    void Settled(size_t position, bool success, std::string_view what);
    bool Stopped() const { return !reason_.empty(); }
    // Why devices were not started, for their report ("a canary failed (...)").
    const std::string& Reason() const { return reason_; }

private:
    size_t canaries_;
    size_t maxFailures_;
    size_t canariesSettled_ = 0;
    size_t failures_ = 0;
    std::string reason_;
};

// ---- Text ------------------------------------------------------------------------------------

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
