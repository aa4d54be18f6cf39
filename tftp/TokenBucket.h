// Spaces sends to a rate in bits per second that may change between sends (a cap shared
// with other transfers). A send that finds the bucket not in debt goes at once and may take
// it into debt; the next waits until the debt is paid at the rate of its time. A sender late
// for its turn (the scheduler, a slow answer) earns at most `depth` of sending time ahead, so
// it catches up that much but no burst outruns the rate by more. Pure: times come in as
// microseconds.
#pragma once

#include "tftp/RetransmitTimer.h"

#include <cstdint>

namespace tftp {

class TokenBucket {
public:
    explicit TokenBucket(Micros depth = 0) : depth_(depth) {}

    // When a send of `bits` may go, no earlier than now, at rate bits per second (0: no cap,
    // at once); it counts as sent then.
    Micros Take(int64_t bits, uint64_t rate, Micros now);

private:
    Micros depth_;
    double tokens_ = 0; // bits; below 0: the debt of sends that went
    Micros at_ = 0;     // when tokens_ was reckoned (0: never)
};

} // namespace tftp
