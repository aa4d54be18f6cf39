// The operator's stop, in two stages. The first SIGINT, SIGTERM or SIGHUP (the terminal is
// gone) starts no further device and lets running transfers finish, since a device left with
// part of an image may not start; a second one, or SIGQUIT, aborts them at once. The signals
// arrive as data on one descriptor (posix::SignalSource) that the fleet's poll loop watches
// beside its children's pipes; the terminal's resize comes the same way.
#pragma once

#include "posix/Fd.h"
#include "posix/SignalSource.h"

#include <optional>

namespace fleet {

enum class StopLevel {
    Running,
    Finishing, // no new device, no new write; running transfers finish
    Aborting   // running transfers end now
};

// The level after signal at level now.
StopLevel NextStopLevel(StopLevel now, int signal);

class FleetStop {
public:
    // Takes the stop signals and SIGWINCH from here on (make it before any thread starts),
    // and ignores SIGPIPE. Throws std::runtime_error.
    FleetStop();

    // Readable when a signal came: then call Take.
    int Fd() const { return signals_.Fd(); }
    // Reads every signal that came; true when one of them raised the level.
    bool Take();
    StopLevel Level() const { return level_; }
    bool Asked() const { return level_ != StopLevel::Running; }
    // Whether the terminal was resized since the last call.
    bool TakeResize();

    // A pipe's read end that becomes readable at the first stop and stays so: a device's own
    // process looks at it before it sends anything and before its write begins.
    int ChildFd() const { return childRead_.Get(); }
    // In a device's process after fork(), once it set its own dispositions.
    void ReleaseInChild();

private:
    posix::SignalSource signals_;
    posix::Fd childRead_;
    posix::Fd childWrite_;
    StopLevel level_ = StopLevel::Running;
    bool resized_ = false;
};

} // namespace fleet
