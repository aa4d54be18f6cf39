// How long to wait for an answer before sending again, learned from the round trips the way
// TCP does (RFC 6298): a smoothed round trip and its variation, samples only from answers
// to datagrams that went once (Karn), the wait doubled on each time-out. Pure: times come in
// as microseconds on a monotonic clock.
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

    // ceiling: the longest wait of one try (the operator's time-out).
    explicit RetransmitTimer(Micros ceiling);

    // A round trip measured on an answer to something sent once.
    void Sample(Micros roundTrip);
    // The wait ran out: the next one is twice as long, up to the ceiling.
    void Expired();
    // An answer moved the transfer on: waits start from the learned value again.
    void Progressed() { backoff_ = 0; }

    // The wait now due: the learned time-out (smoothed round trip plus four variations, at
    // least Floor), doubled once per time-out since the last progress, at most the ceiling.
    Micros Wait() const;
    // The learned time-out without the doubling.
    Micros Base() const;
    Micros Ceiling() const { return ceiling_; }
    // 0 before the first sample.
    Micros Smoothed() const { return srtt_; }
    Micros Fastest() const { return fastest_; }
    int Backoff() const { return backoff_; }

private:
    Micros ceiling_;
    Micros srtt_ = 0;
    Micros rttvar_ = 0;
    Micros fastest_ = 0;
    int backoff_ = 0;
};

} // namespace tftp
