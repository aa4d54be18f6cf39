#include "cli/Stop.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <stdexcept>
#include <string>

namespace fleet {

StopLevel NextStopLevel(StopLevel now, int signal)
{
    switch (signal) {
    case SIGINT:
    case SIGTERM:
    case SIGHUP: return now == StopLevel::Running ? StopLevel::Finishing : StopLevel::Aborting;
    case SIGQUIT: return StopLevel::Aborting;
    default: return now;
    }
}

FleetStop::FleetStop() : signals_({SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH})
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    childRead_.Reset(fds[0]);
    childWrite_.Reset(fds[1]);
    ::signal(SIGPIPE, SIG_IGN);
}

bool FleetStop::Take()
{
    bool raised = false;
    while (const auto signal = signals_.Next()) {
        if (*signal == SIGWINCH) resized_ = true;
        const StopLevel next = NextStopLevel(level_, *signal);
        if (next == level_) continue;
        raised = true;
        if (level_ == StopLevel::Running) {
            const char byte = 1;
            [[maybe_unused]] const auto n = ::write(childWrite_.Get(), &byte, 1);
        }
        level_ = next;
    }
    return raised;
}

bool FleetStop::TakeResize()
{
    return std::exchange(resized_, false);
}

void FleetStop::ReleaseInChild()
{
    childWrite_.Reset();
    signals_.ReleaseInChild();
}

} // namespace fleet
