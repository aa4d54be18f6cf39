// How a device's attempt ended, whether it is tried again, and the run's exit status.
#pragma once

#include "upgrade/Result.h"

#include <vector>

namespace fleet {

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

} // namespace fleet
