#include "cli/Outcome.h"

#include <algorithm>

namespace fleet {

bool ShouldTryAgain(Result result, int attempts, int retries)
{
    const bool retryable = result == Result::Timeout || result == Result::TftpError ||
                           result == Result::PasswordTimeout || result == Result::NoDevice;
    return retryable && attempts <= retries;
}

bool Succeeded(Result result, bool waitedBack, bool cameBack)
{
    if (result == Result::AlreadyDone || result == Result::WouldUpgrade) return true;
    return result == Result::Done && (!waitedBack || cameBack);
}

int RunExitStatus(const std::vector<DeviceEnd>& devices, bool interrupted)
{
    if (interrupted) return ExitInterrupted;
    const auto any = [&](auto predicate) { return std::any_of(devices.begin(), devices.end(), predicate); };
    if (any([](const DeviceEnd& d) { return d.result == Result::Skipped; })) return ExitStopped;
    // The image went in, but a device that never answers again needs someone.
    if (devices.empty() || any([](const DeviceEnd& d) { return !Succeeded(d.result, d.waitedBack, d.cameBack); }))
        return ExitFailed;
    return ExitDone;
}

} // namespace fleet
