// Telling a device's restart after the write from discovery rounds, with no clock of its own.
#pragma once

#include "cli/Outcome.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace fleet {

// "Back" is a restart seen whole: the device, which may go on answering for a while after its
// image (it writes flash), falls silent for SilentRounds discovery rounds in a row and then
// answers again, from the hardware address that passed the check. Fed the rounds and the
// answers for the device's address, with their times since the image was written (ms). A
// round in which answers were lost to a full buffer proves no silence.
class RestartWatch {
public:
    static constexpr int RoundMs = 200; // a restart of one second spans four rounds or more
    static constexpr int SilentRounds = 3;
    enum class State { Up, Silent, Back, AddressChanged };

    explicit RestartWatch(std::string mac) : mac_(std::move(mac)) {}
    void Answer(std::string_view mac, int64_t atMs);
    // The round that began at the last call ended; lost: answers were dropped during it.
    void EndRound(bool lost);
    State state() const { return state_; }
    bool Settled() const { return state_ == State::Back || state_ == State::AddressChanged; }
    int64_t LastAnswerMs() const { return lastAnswerMs_; } // when it was last heard before silence
    int64_t BackMs() const { return backMs_; }
    const std::string& OtherMac() const { return otherMac_; }

private:
    std::string mac_;
    State state_ = State::Up;
    bool answered_ = false; // in the current round
    int quietRounds_ = 0;
    int64_t lastAnswerMs_ = 0;
    int64_t backMs_ = 0;
    std::string otherMac_;
};

// The outcome of a written device once the wait for its restart is over (or, waitedBack
// false, right after the write). confirmed: the last block was acknowledged.
Result AfterWrite(bool confirmed, bool waitedBack, RestartWatch::State state);

} // namespace fleet
