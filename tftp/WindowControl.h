// How a window's blocks go out on a path with a short queue (a switch's, or a device's small
// receive buffer). A receiver acknowledges only whole windows (RFC 7440), so fewer blocks in
// flight than granted cannot mean sending fewer: once the path's queue has overflowed, the
// window goes out in bursts of at most Burst() blocks, paced at the rate the path delivered
// last. Until then a window goes out at once, as on a LAN with room to spare.
//
// The burst follows AIMD: halved when the queue overflows, one block more per window taken
// whole, back only to one below the burst that overflowed, and above that by one block per
// Patience such windows, so a queue that held 16 datagrams is not overflowed every few
// windows again. The pace is the median of the last three whole windows' deliveries (one
// window slowed by the scheduler, or sped by a token bucket's savings, moves nothing), run
// faster by as much as leaves Headroom blocks in the path's queue at a window's end when the
// path is the limit, so that a path with more room shows it. A loss leaves the pace alone:
// bursts too large for the queue are what overflow it, and a lossy wire drops some anywhere.
//
// A queue is told from a lossy wire by where the losses fall: a burst larger than a queue has
// room for loses its end at the same depth every time, so a loss within a block of the depth
// the window before lost at is the queue's; a lone loss falls anywhere and changes nothing.
// Pure: times come in as microseconds.
#pragma once

#include "tftp/RetransmitTimer.h"

#include <cstdint>

namespace tftp {

// What an answer that moved the transfer on tells of the window before it.
struct Delivery {
    int64_t blocks = 0;  // acknowledged by it
    int64_t missing = 0; // sent and not acknowledged by it
    Micros elapsed = 0;  // from the window's first burst to the answer (or to its first time-out)
    Micros fastest = 0;  // the path's fastest round trip
    bool timedOut = false;
};

class WindowControl {
public:
    static constexpr int32_t Headroom = 4;
    static constexpr int32_t Patience = 16;
    // Depths of two losses this close are the same queue's.
    static constexpr int64_t SameDepth = 1;

    explicit WindowControl(int32_t window = 1);

    // An answer that moved the transfer on; returns whether the path's queue overflowed.
    bool Answered(const Delivery& delivery);

    // Blocks sent back to back: the granted window until the first overflow.
    int32_t Burst() const { return burst_; }
    // How long `count` blocks take at the pace (0: not paced).
    Micros Spacing(int64_t count) const;
    bool Paced() const { return paced_; }
    // Blocks per second the pace is based on (0: not paced).
    double Rate() const { return paced_ ? rate_ * 1e6 : 0; }

private:
    void Shrink(double rate);
    void Grow();
    void Measured(double rate);

    int32_t window_;
    int32_t burst_;
    int32_t limit_;
    int32_t calm_ = 0;
    bool paced_ = false;
    // The pace in blocks per microsecond: its base, the last deliveries it is the median of,
    // and its gain.
    double rate_ = 0;
    double samples_[3] = {};
    int32_t slot_ = 0;
    int32_t measured_ = 0; // up to 3
    double gain_;
    // Blocks of its window acknowledged before the last window's loss (0: it lost none).
    int64_t depth_ = 0;
};

} // namespace tftp
