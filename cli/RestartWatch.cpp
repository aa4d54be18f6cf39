#include "cli/RestartWatch.h"

namespace fleet {

void RestartWatch::Answer(std::string_view mac, int64_t atMs)
{
    if (Settled()) return;
    if (mac != mac_) {
        // Whatever answers now is not the device that was checked and written.
        otherMac_ = mac;
        state_ = State::AddressChanged;
        return;
    }
    if (state_ == State::Silent) {
        state_ = State::Back;
        backMs_ = atMs;
        return;
    }
    answered_ = true;
    quietRounds_ = 0;
    lastAnswerMs_ = atMs;
}

void RestartWatch::EndRound(bool lost)
{
    if (state_ != State::Up) return;
    if (answered_ || lost)
        quietRounds_ = 0;
    else if (++quietRounds_ >= SilentRounds)
        state_ = State::Silent;
    answered_ = false;
}

Result AfterWrite(bool confirmed, bool waitedBack, RestartWatch::State state)
{
    using State = RestartWatch::State;
    if (!waitedBack) return confirmed ? Result::Done : Result::Unconfirmed;
    switch (state) {
    case State::AddressChanged: return Result::AddressChanged;
    case State::Back: return confirmed ? Result::Done : Result::BackUnconfirmed;
    case State::Up: return confirmed ? Result::NotRestarted : Result::Unconfirmed;
    case State::Silent: break;
    }
    // Restarted but never heard again: done (it counts as not back) when its end was confirmed.
    return confirmed ? Result::Done : Result::Unconfirmed;
}

} // namespace fleet
