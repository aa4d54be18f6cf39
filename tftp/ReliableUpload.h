// Our own programs' upload rules as a pure state machine: it is told what arrived (a datagram
// and its sender, or that its deadline came) with the time, and answers what goes out next.
// No sockets, no clock, no file: TftpSender does the I/O.
//
// A window of blocks (RFC 7440, go-back-N) under a retransmission timer that learns the time
// an answer takes, the server locked after its first answer, done only when the last block is
// acknowledged, one more request without options after an option refusal, and optionally the
// size announced (RFC 2349). Once a short queue on the path has overflowed, the window goes
// out in paced bursts (WindowControl).
//
// Loss recovery is a stage (Stage): what went out since the last progress and which answer
// is awaited. Time-outs move it on; progress, in one place, returns it to Open. Which
// repeated ACKs are news is RepeatFilter's to say.
#pragma once

#include "tftp/RetransmitTimer.h"
#include "tftp/UploadStep.h"
#include "tftp/WindowControl.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tftp {

// The longest wait of one try unless told (the timer's ceiling), and how many such waits in
// a row without progress end the upload with "Timeout".
inline constexpr int32_t DefaultTimeoutMs = 4000;
inline constexpr int32_t DefaultTries = 5;

struct UploadPolicy {
    int32_t blockSize = DefaultBlockSize; // asked for when it differs from 512
    int32_t windowSize = 1;               // asked for when above 1
    int32_t tries = DefaultTries;         // waits of a whole time-out without progress before "Timeout"
    bool transferSize = false;            // announce the size with "tsize"
    int32_t timeoutMs = DefaultTimeoutMs; // the longest wait of one try: the timer's ceiling
    // The least wait until an answer to data is timed (at least the timer's floor).
    int32_t firstWindowMs = RetransmitTimer::FirstWindow / 1000;
};

// Which repeated ACKs are news. A repeat of the ACK before the first unacknowledged block
// says the receiver lacks that block, unless it answers a copy of a block the receiver had:
// a probe, or a window that went twice. Those answers come as repeats too, and taking them
// for news would send the window again for each: the data would multiply.
class RepeatFilter {
public:
    enum class Verdict {
        Echo,   // the answer to a probe of a block the receiver had
        Ignore, // the window already went back once since the last progress
        Gap,    // news: the receiver lacks the block; the window goes back to it
    };

    // A single block went again.
    void Probed() { ++probes_; }
    // The window went again for a repeat.
    void WentBack() { wentBack_ = doubled_ = true; }
    // Progress: the probes' answers may still come; after a window that went twice, so may
    // the answers to its copies.
    void Progressed()
    {
        echoes_ = probes_;
        probes_ = 0;
        wentBack_ = doubled_;
        doubled_ = false;
    }
    // A time-out: whatever goes next is a new try, and a repeat after it news again.
    void TimedOut() { wentBack_ = doubled_ = false; }
    // late: a whole learned time-out after the last send, too late to answer a copy at once.
    Verdict Judge(bool late);
    // No copy is out whose answer could be taken for another's: an answer now answers one send.
    bool Quiet() const { return probes_ == 0 && echoes_ == 0 && !doubled_; }
    int32_t Probes() const { return probes_; }

private:
    int32_t probes_ = 0; // sent since the last progress
    int32_t echoes_ = 0; // sent before it, their answers still due
    bool wentBack_ = false;
    bool doubled_ = false;
};

class ReliableUpload {
public:
    enum class Phase {
        Requested, // the write request is out, no answer yet
        Sending,   // blocks go out; the last one has not been sent
        LastSent,  // the last block (the first short one) is out, its ACK is awaited
        Finished,
        Failed,
    };

    // Loss recovery since the last progress: what went out, what answer is awaited.
    enum class Stage {
        Open,        // the window went out once; its ACK is awaited
        Probing,     // time-outs sent single blocks (the last sent and the first unacknowledged in turn)
        WindowAgain, // after a patience the window went again; its look is due after the learned time-out
        Looking,     // the look (the window's last block again) went; any answer is awaited
        PastWindow,  // the receiver answered neither: blocks past the window went, their look is due
        PastLook,    // the look after the blocks past the window went
    };

    // bytes: what the source holds.
    explicit ReliableUpload(int64_t bytes, UploadPolicy policy = {});

    // The write request, with its options until the server refused them.
    std::string Request(std::string_view remoteName, std::string_view mode) const;

    // The write request is to go out now.
    UploadStep Begin(Micros now);
    // What goes out at `now` for a datagram from `from`.
    UploadStep OnDatagram(Bytes packet, Peer from, Micros now);
    // The time reached Deadline() (earlier it is no time-out).
    UploadStep OnTimeout(Micros now);
    // When OnTimeout is due, unless an answer comes first: the next burst of a paced window,
    // or the retransmission timer's deadline.
    Micros Deadline() const { return paced_.Pending() ? paced_.at : deadline_; }
    // When the last send went out.
    Micros LastSend() const { return sentAt_; }
    // The blocks of the last send went out only at `now`, held back (a rate cap): its timer,
    // and the window's pace, count from then.
    void SentLater(Micros now);

    Phase State() const;
    Stage Recovery() const { return stage_; }
    // Data bytes of a full block: 512 until an option acknowledgement says otherwise.
    int32_t BlockSize() const { return blockSize_; }
    // Blocks sent before waiting: 1 until an option acknowledgement grants more.
    int32_t WindowSize() const { return window_; }
    // The last block has gone out at least once.
    bool LastBuilt() const { return next_ > blocks_ && blocks_ > 0; }
    // The upload ended with the last block's ACK.
    bool Acknowledged() const { return phase_ == Phase::Finished; }
    // Blocks and requests sent more than once.
    int64_t Retransmissions() const { return retransmissions_; }
    // Waits that ran out, short and whole.
    int64_t Timeouts() const { return timeouts_; }
    // Time-outs found spurious: the answers to what went before them came after all.
    int64_t Spurious() const { return spurious_; }
    const RetransmitTimer& Timer() const { return timer_; }
    const WindowControl& Control() const { return control_; }
    // Blocks by index (1: the first): where in the source, how many bytes, which number.
    int64_t BlockOffset(int64_t index) const { return (index - 1) * blockSize_; }
    int32_t BlockBytes(int64_t index) const;
    uint16_t BlockNumber(int64_t index) const { return static_cast<uint16_t>(origin_ + index); }
    int64_t BlockCount() const { return blocks_; }
    // The blocks acknowledged, in order from the first.
    int64_t BlocksAcknowledged() const { return base_ - 1; }
    // The server's transfer address and port, from its first answer on.
    const std::optional<Peer>& LockedPeer() const { return peer_; }

private:
    // A window's blocks going out in paced bursts.
    struct Paced {
        int64_t first = 1; // its first block
        int64_t next = 1;  // [next, last] are still to go, the next burst at `at`
        int64_t last = 0;
        Micros at = 0;
        Micros started = 0; // when its first burst went
        bool starting = false;
        bool Pending() const { return next <= last; }
    };
    // Time-outs since the last progress that may yet prove needless: the window's send
    // before the first of them, the wait that ran out then, and the copies sent since.
    struct Suspect {
        Micros sentAt = 0;
        Micros waited = 0;
        int32_t copies = 0;
        bool open = false; // copies are being counted
    };
    // After the progress that ended them: each copy's echo counts one down, and the last one
    // proves the progress answered that send, `roundTrip` after it (at most twice the wait
    // that ran out: a server that repeats its ACK on a timer of its own sends what looks
    // like echoes, and a pause is no device's usual time; a device slower still is learned
    // by doubling, one proof after another).
    struct Proof {
        Micros roundTrip = 0;
        int32_t echoes = 0;
    };

    UploadStep Answered(Bytes packet, Peer from, Micros now);
    UploadStep Opened(Bytes packet, Peer from, Micros now);
    UploadStep Refused(uint16_t code, std::string_view message);
    UploadStep Accept(Bytes packet);
    UploadStep Refuse(const std::string& what);
    std::optional<UploadStep> TakeOption(const Option& option);
    int64_t IndexOf(uint16_t opcode, std::optional<uint16_t> ack) const;
    UploadStep Progress(int64_t index, Micros now);
    void Measure(int64_t index, Micros now);
    UploadStep Repeated(Micros now);
    void Echoed();
    UploadStep Expired(Micros now);
    UploadStep Recover(Micros now, bool wholeTry);
    UploadStep Armed(UploadStep step, Micros now);
    Micros WaitAfterSend() const;
    UploadStep Send(int64_t first);
    UploadStep Burst();
    UploadStep Blocks(int64_t first, int64_t last);
    UploadStep Probe(int64_t index);
    UploadStep Again();
    UploadStep Beyond();
    Micros Patience() const;
    bool RoomPastWindow() const;
    UploadStep Fail(UploadFailure failure);

    const UploadPolicy policy_;
    const int64_t total_;
    Phase phase_ = Phase::Requested;
    Stage stage_ = Stage::Open;
    int32_t blockSize_ = DefaultBlockSize;
    int32_t window_ = 1;
    bool options_ = true;
    // Blocks [base_, next_) are out and not acknowledged; blocks_ in all.
    int64_t base_ = 1;
    int64_t next_ = 1;
    int64_t blocks_ = 0;
    // The number of block 0: the first block is origin_ + 1.
    uint16_t origin_ = 0;
    std::optional<Peer> peer_;

    RetransmitTimer timer_;
    Micros sentAt_ = 0;
    Micros deadline_ = 0;
    // When the blocks from base_ last went out together (not as a probe): after a patience
    // without an answer they go again.
    Micros windowAt_ = 0;
    // The first time-out since the last progress (0: none), for the window control.
    Micros expiredAt_ = 0;
    // The window acknowledged last needed a time-out.
    bool timedOutBefore_ = false;
    // Waits of a whole try in a row without progress.
    int32_t tries_ = 0;
    // Probes since the last progress: odd ones go to the last block sent, even ones to the
    // first unacknowledged.
    int32_t probes_ = 0;
    // What is out went once: its answer is a round-trip sample.
    bool clean_ = true;
    // The step being armed is a probe (it does not restart the patience).
    bool probing_ = false;
    // The last block of what went again, to be looked at (WindowAgain, PastWindow).
    int64_t lookAt_ = 0;
    // The window went again for patience since the last progress.
    bool resent_ = false;
    // The receiver answers no single block while it lacks one: its patience is short.
    bool deaf_ = false;
    RepeatFilter repeats_;
    Suspect suspect_;
    Proof proof_;
    WindowControl control_;
    Paced paced_;
    int64_t retransmissions_ = 0;
    int64_t timeouts_ = 0;
    int64_t spurious_ = 0;
};

} // namespace tftp
