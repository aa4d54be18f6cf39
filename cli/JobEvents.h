// The events a device job's process sends its parent, one line each on a pipe that is also
// the child's standard error: every line that does not decode as an event is the device
// library's own note. One encoder, one decoder and one line reader serve both ends.
#pragma once

#include "cli/DeviceTable.h"
#include "cli/Outcome.h"
#include "tftp/TransferStats.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace fleet {

struct FoundEvent {
    DeviceEntry device; // what its discovery answer said (ip is not sent)
};
struct AcceptedEvent {};
struct ProgressEvent {
    uint64_t bytes = 0; // put into data packets so far
};
struct WaitingBackEvent {
    int32_t seconds = 0; // the image is in; rediscovery for up to this long
};
struct BackEvent {
    double seconds = 0;
};
struct NotBackEvent {};
struct SilentEvent {
    double seconds = 0; // when it was last heard before it fell silent (restarting)
};
struct PinnedEvent {
    std::string dev; // the device's address is tied to mac on this interface until unpinned
    std::string mac;
};
struct UnpinnedEvent {};
struct DroppedEvent {
    uint64_t answers = 0; // replies lost to full buffers since the last such event
};
struct ResultEvent {
    Result result = Result::LocalError;
    std::string message;
    tftp::TransferStats transfer = {}; // all zero: no transfer began
};

using JobEvent = std::variant<FoundEvent, AcceptedEvent, ProgressEvent, WaitingBackEvent, BackEvent, NotBackEvent,
                              DroppedEvent, ResultEvent, SilentEvent, PinnedEvent, UnpinnedEvent>;

// One line, line feed included.
std::string EncodeEvent(const JobEvent& event);
// nullopt when the line is no event of ours (a library note, a line cut by a signal).
std::optional<JobEvent> DecodeEvent(std::string_view line);

// Splits a byte stream into lines. A line longer than MaxLine is handed out in pieces, so a
// child that never writes a line feed cannot grow the parent without bound.
class LineReader {
public:
    static constexpr size_t MaxLine = 64 * 1024;

    void Feed(std::string_view bytes) { pending_.append(bytes); }
    // The next complete line, without its line feed.
    std::optional<std::string> Next();

private:
    std::string pending_;
    size_t scanned_ = 0; // bytes of pending_ known to hold no line feed
};

} // namespace fleet
