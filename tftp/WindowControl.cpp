#include "tftp/WindowControl.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tftp {

WindowControl::WindowControl(int32_t window)
    : window_(std::max(window, 1)), burst_(window_), limit_(window_),
      gain_(window_ > 2 * Headroom ? window_ / static_cast<double>(window_ - Headroom) : 2.0)
{}

bool WindowControl::Answered(const Delivery& d)
{
    // The round trip itself is no time the path spent on the blocks: without it a window
    // that went out at once on a fast path measures as fast as it is.
    const double rate =
        static_cast<double>(d.blocks) / static_cast<double>(std::max<Micros>(d.elapsed - d.fastest, 1));
    if (d.missing > 0) {
        const bool overflowed = depth_ > 0 && std::llabs(d.blocks - depth_) <= SameDepth;
        depth_ = d.blocks;
        if (overflowed) Shrink(rate);
        return overflowed;
    }
    depth_ = 0;
    if (!d.timedOut) {
        Measured(rate);
        Grow();
    }
    return false;
}

void WindowControl::Measured(double rate)
{
    samples_[slot_] = rate;
    slot_ = (slot_ + 1) % 3;
    if (++measured_ < 3) {
        rate_ = std::max(samples_[0], samples_[1]);
        return;
    }
    measured_ = 3;
    const double a = samples_[0], b = samples_[1], c = samples_[2];
    rate_ = std::max(std::min(a, b), std::min(std::max(a, b), c));
}

void WindowControl::Shrink(double rate)
{
    limit_ = std::max(1, burst_ - 1);
    burst_ = std::max(1, std::min(burst_ / 2, limit_));
    calm_ = 0;
    // The pace starts from what whole windows measured, or without any from the lossy one.
    if (measured_ == 0) Measured(rate);
    paced_ = true;
}

void WindowControl::Grow()
{
    if (burst_ < limit_) {
        ++burst_;
    } else if (limit_ < window_ && ++calm_ >= Patience) {
        calm_ = 0;
        burst_ = ++limit_;
    }
}

Micros WindowControl::Spacing(int64_t count) const
{
    if (!paced_ || rate_ <= 0) return 0;
    return static_cast<Micros>(std::llround(static_cast<double>(count) / (rate_ * gain_)));
}

} // namespace tftp
