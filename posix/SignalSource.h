// Signals taken as data rather than in a handler: they are blocked, and each one that comes
// is read from a descriptor (signalfd) that a poll loop watches beside its other ones. One
// place for a program's signals, and no handler that can run at an awkward moment (between
// fork() and a child's own settings, say).
#pragma once

#include "posix/Fd.h"

#include <signal.h>

#include <initializer_list>
#include <optional>

namespace posix {

class SignalSource {
public:
    // Blocks the signals in the calling thread (make it before any thread starts: threads
    // inherit the mask) and opens the descriptor. Throws std::runtime_error.
    explicit SignalSource(std::initializer_list<int> signals);
    // Unblocks them again; one that came meanwhile and was not read is then delivered.
    ~SignalSource();
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    // Readable while a signal is pending.
    int Fd() const { return fd_.Get(); }
    // The next pending signal; nullopt when none is.
    std::optional<int> Next();
    // Waits for the next one.
    int Wait();
    // In a child after fork(), once it set its own dispositions: the signals reach it again
    // and the descriptor is closed.
    void ReleaseInChild();

private:
    posix::Fd fd_;
    sigset_t set_;
    sigset_t before_;
};

} // namespace posix
