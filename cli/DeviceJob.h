// One device's upgrade, the window's sequence without the window: neighbour entry cleared,
// discovery with an exact address match, password check, TFTP write of the image to "/"
// (with the address pinned to the checked hardware address where allowed), and optionally
// the wait until the device restarted and answers again. Runs in a process of
// its own (see Fleet.h); it reports through a sink, one event at a time.
#pragma once

#include "cli/JobEvents.h"
#include "upgrade/UpgradePolicy.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fleet {

class FirmwareImage;
class RateShare;

struct JobPlan {
    std::string ip;
    std::string password;
    int32_t blockSize = upgrade::BlockSize;
    int32_t timeoutMs = upgrade::ReceiveTimeoutMs;
    int32_t waitMs = upgrade::ToolAnswerWaitMs; // for the discovery and password answers
    int32_t waitBackS = 0;                      // 0: do not wait for the restart
    bool dryRun = false;
    int32_t tftpPort = upgrade::TftpPort;
    int32_t windowSize =
        ::upgrade::WindowSize; // asked for; the device may grant fewer (1: one block per round trip)
    // The device's answers to the fleet's shared discovery; empty: the job discovers it itself.
    std::vector<std::vector<uint8_t>> answers = {};
    // Readable once the operator asked to stop: from then on nothing new is sent to the device.
    int stopFd = -1;
    // Tie the address to the checked hardware address during the write (the caller may
    // change the neighbour table).
    bool pin = false;
    // The models the signed image is for (its trusted comment); empty: any.
    std::vector<std::string> models = {};
    // Folder of the packet traces: the attempt appends to ADDRESS.pcapng there (empty: none).
    std::string traceDir = {};
    // The fleet's rate cap, shared with the other transfers (none: no cap), and this job's
    // slot in it.
    const RateShare* rate = nullptr;
    size_t rateSlot = 0;
};

// Events (JobEvents.h), the result last. A progress event is sent at most every 100 ms, and
// once for the last block.
using JobSink = std::function<void(const JobEvent& event)>;

// Never throws: every failure becomes a result event.
void RunDeviceJob(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink);

} // namespace fleet
