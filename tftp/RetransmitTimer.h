// How long to wait for an answer before sending again, learned from the answers' times the
// way TCP does (RFC 6298): a smoothed time and its variation, samples only from answers that
// can answer one send alone (Karn), the wait doubled on each time-out and kept doubled after
// an answer to something sent twice (Karn again: such an answer says nothing certain of the
// time, so it may not bring the wait below what it took). Pure: times come in as
// microseconds on a monotonic clock.
//
// An answer's time is the link's round trip plus the receiver's own time to take what came:
// on a LAN the first is tens of microseconds, the second up to tens of milliseconds for a
// device that writes each window to flash before its ACK. The answer to the request shows
// only the link: until an answer to data is timed, the wait allows a receiver's time to take
// a window (FirstWindow), so that a slow device's first window is not probed, each probe
// queueing behind its work. A device slower than that is found by the kept doubling and by
// time-outs proven needless, and the answers that then go once teach its own time.
#pragma once

#include <cstdint>

namespace tftp {

using Micros = int64_t;

class RetransmitTimer {
public:
    // Below this a time-out is no longer worth its probe: a LAN's loss costs a few of them,
    // and a device pausing 300 ms to erase flash sees about six single probes.
    static constexpr Micros Floor = 4000;
    // The wait before the first answer (RFC 6298's one second, unless the ceiling is lower).
    static constexpr Micros Initial = 1000000;
    // The least wait until an answer to data is timed: a boot loader writes a window of
    // kilobytes to flash in tens of milliseconds. A lost first window costs it once.
    static constexpr Micros FirstWindow = 100000;

    // ceiling: the longest wait of one try (the operator's time-out); firstWindow: the least
    // wait until an answer to data is timed.
    explicit RetransmitTimer(Micros ceiling, Micros firstWindow = FirstWindow);

    // The time of an answer that answers one send alone. It ends the doubled waits.
    void Sample(Micros roundTrip);
    // The time of the answer to the request: a sample of the link, not yet of the receiver.
    void Opened(Micros roundTrip);
    // An answer that moved the transfer on but is no sample, `took` after what it may answer
    // went: the doubled wait is kept as far as needed to cover that time, no further, so
    // that a long silence before it does not slow the recovery of the next loss.
    void Progressed(Micros took);
    // The wait ran out: the next one is twice as long, up to the ceiling.
    void Expired();

    // The wait now due: the learned time-out, doubled once per time-out not yet undone by an
    // answer, at most the ceiling.
    Micros Wait() const;
    // The learned time-out without the doubling: the smoothed time plus four variations,
    // and at least half the smoothed time more (a device's time varies with its work, and a
    // steady one drives the variation to nothing), at least Floor (FirstWindow before an
    // answer to data is timed), at most the ceiling.
    Micros Base() const;
    Micros Ceiling() const { return ceiling_; }
    // 0 before the first sample.
    Micros Smoothed() const { return srtt_; }
    Micros Fastest() const { return fastest_; }
    int Backoff() const { return backoff_; }
    // No answer to data is timed yet, and the wait is the first window's allowance.
    bool Allowing() const { return !serving_ && firstWindow_ > Floor; }

private:
    Micros ceiling_;
    Micros firstWindow_;
    Micros srtt_ = 0;
    Micros rttvar_ = 0;
    Micros fastest_ = 0;
    int backoff_ = 0;
    bool serving_ = false; // an answer to data was timed
};

} // namespace tftp
