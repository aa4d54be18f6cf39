// The device messaging library opened for one process, with its notifications turned into
// a readable descriptor so that a plain poll() waits for replies.
#pragma once

#include "cli/DeviceTable.h"
#include "cli/Stop.h"
#include "posix/Fd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <optional>
#include <vector>

namespace fleet {

class DeviceLink {
public:
    using Clock = std::chrono::steady_clock;

    // Opens the library (it reads NDXL_* from the environment). Throws std::runtime_error.
    DeviceLink();
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Throws std::runtime_error with the library's reason when nothing could be sent.
    void Send(const std::vector<uint8_t>& frame);
    void SendDiscovery();
    // The next reply record, waiting until deadline at most; nullopt when none came, or as
    // soon as stopFd (when given) is readable.
    std::optional<std::vector<uint8_t>> Next(Clock::time_point deadline, int stopFd = -1);
    // Replies the library lost to full buffers since it was opened.
    uint64_t Dropped() const { return notices_.dropped.load(); }

    // What the library's receiver thread touches.
    struct Notices {
        posix::Fd wake; // counts notifications; readable while replies wait
        std::atomic<uint64_t> dropped{0};
    };

private:
    Notices notices_;
};

// What one discovery for the whole fleet heard.
struct Discovery {
    DeviceTable table;
    uint64_t dropped = 0; // answers the library lost to full buffers
};

// One discovery for the whole fleet, sent again every round within waitMs, since a request
// or its answers may get lost when many devices answer at once. With wanted addresses it
// ends early: once each has answered and a short while passed without a new answer (a
// second device claiming an address answers the same request). Ends at once when a stop
// comes. Throws std::runtime_error when the library cannot be opened.
Discovery Discover(int waitMs, FleetStop* stop = nullptr, const std::vector<std::string>* wanted = nullptr);

// The warnings a discovery leaves: malformed answers, answers lost to a full buffer.
void WarnAboutAnswers(const Discovery& found, const std::function<void(const std::string&)>& warn);

} // namespace fleet
