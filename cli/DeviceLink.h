// The device messaging library opened for one process, with its notifications turned into
// a readable descriptor so that a plain poll() waits for replies.
#pragma once

#include "Fd.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

class DeviceLink {
public:
    using Clock = std::chrono::steady_clock;

    // Opens the library (it reads NDXL_* from the environment). Throws std::runtime_error.
    DeviceLink();
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    void Send(const std::vector<uint8_t>& frame);
    void SendDiscovery();
    // The next reply record, waiting until deadline at most; nullopt when none came.
    std::optional<std::vector<uint8_t>> Next(Clock::time_point deadline);

private:
    posix::Fd wake_; // counts notifications; readable while replies wait
};
