#include "tftp/RetransmitTimer.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace tftp {

RetransmitTimer::RetransmitTimer(Micros ceiling, Micros firstWindow)
    : ceiling_(std::max<Micros>(ceiling, 1)), firstWindow_(std::max(firstWindow, Floor))
{}

void RetransmitTimer::Opened(Micros roundTrip)
{
    Sample(roundTrip);
    serving_ = false;
}

void RetransmitTimer::Sample(Micros roundTrip)
{
    roundTrip = std::max<Micros>(roundTrip, 1);
    // The first answer to data starts the smoothing afresh: the request's time was the link's.
    if (srtt_ == 0 || !std::exchange(serving_, true)) {
        srtt_ = roundTrip;
        rttvar_ = roundTrip / 2;
    } else {
        rttvar_ = (3 * rttvar_ + std::llabs(srtt_ - roundTrip)) / 4;
        srtt_ = (7 * srtt_ + roundTrip) / 8;
    }
    fastest_ = fastest_ == 0 ? roundTrip : std::min(fastest_, roundTrip);
    backoff_ = 0;
}

void RetransmitTimer::Progressed(Micros took)
{
    while (backoff_ > 0 && (Base() << (backoff_ - 1)) >= took)
        --backoff_;
}

void RetransmitTimer::Expired()
{
    // 2^20 times the floor is beyond any ceiling: no overflow however long the silence.
    if (backoff_ < 20) ++backoff_;
}

Micros RetransmitTimer::Base() const
{
    if (srtt_ == 0) return std::min(Initial, ceiling_);
    const Micros floor = std::min(serving_ ? Floor : firstWindow_, ceiling_);
    return std::clamp(srtt_ + std::max(4 * rttvar_, srtt_ / 2), floor, ceiling_);
}

Micros RetransmitTimer::Wait() const
{
    return std::min(Base() << backoff_, ceiling_);
}

} // namespace tftp
