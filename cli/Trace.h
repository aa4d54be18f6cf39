// --trace DIR: each process of a run writes the datagrams it sends and receives, the device
// library's and the TFTP upload's, into a pcapng file of its own in DIR: discovery.pcapng for
// the run's shared discovery (and the discover command), ADDRESS.pcapng for each device (a
// retry appends a section).
#pragma once

#include "posix/PacketTrace.h"

#include <string>

namespace fleet {

std::string DiscoveryTraceFile(const std::string& dir);
std::string DeviceTraceFile(const std::string& dir, const std::string& ip);

// Makes DIR (and its parents) when missing; throws std::runtime_error naming it otherwise.
void PrepareTraceDir(const std::string& dir);

// The process's trace while it lives: the device library opened after it reports to it. One
// at a time per process.
class ProcessTrace {
public:
    explicit ProcessTrace(const std::string& path); // throws std::runtime_error
    ~ProcessTrace();
    ProcessTrace(const ProcessTrace&) = delete;
    ProcessTrace& operator=(const ProcessTrace&) = delete;

    posix::DatagramObserver Observer() { return trace_.Observer(); }
    // The one this process writes now; null when none.
    static ProcessTrace* Current();

private:
    posix::PacketTrace trace_;
};

} // namespace fleet
