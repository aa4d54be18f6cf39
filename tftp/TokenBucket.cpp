#include "tftp/TokenBucket.h"

#include <algorithm>
#include <cmath>

namespace tftp {

Micros TokenBucket::Take(int64_t bits, uint64_t rate, Micros now)
{
    if (rate == 0) {
        tokens_ = 0;
        at_ = now;
        return now;
    }
    const double perMicro = static_cast<double>(rate) / 1e6;
    if (at_ != 0 && now > at_)
        tokens_ =
            std::min(static_cast<double>(depth_) * perMicro, tokens_ + static_cast<double>(now - at_) * perMicro);
    at_ = std::max(at_, now);
    if (tokens_ < 0) {
        at_ += static_cast<Micros>(std::ceil(-tokens_ / perMicro));
        tokens_ = 0;
    }
    tokens_ -= static_cast<double>(bits);
    return at_;
}

} // namespace tftp
