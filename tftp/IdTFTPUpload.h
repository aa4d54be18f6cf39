// The rules of one upload as a pure state machine: it is told what arrived (a datagram and its
// sender, or a time-out) and answers what goes out next. No sockets, no clock, no stream: the
// client around it does the I/O.
//
// Two policies share it. Classic: one block per round trip, what the window's client always
// did (the first answer picks the first block, silence after the last block ends the upload,
// answers from anyone are taken). Reliable: our own programs' rules: a window of blocks
// (RFC 7440, go-back-N) under a retransmission timer that learns the round trip, single
// blocks as probes on its time-outs and the window again only after a whole try of silence,
// the window's blocks in paced bursts once a short queue on the path has overflowed,
// the server locked after its first answer, done only when the last block is acknowledged,
// one more request without options after an option refusal, and optionally the size
// announced (RFC 2349). The reliable policy is told the time as a value with each event.
#pragma once

#include "tftp/IdTFTPPacket.h"
#include "tftp/RetransmitTimer.h"
#include "tftp/WindowControl.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tftp {

enum class Policy { Classic, Reliable };

struct UploadPolicy {
    Policy policy = Policy::Classic;
    // The reliable policy's request and retries (the classic client builds its own request
    // and never sends anything twice on its own).
    int32_t blockSize = DefaultBlockSize; // asked for when it differs from 512
    int32_t windowSize = 1;               // asked for when above 1
    int32_t tries = 5;                    // waits of a whole time-out without progress before "Timeout"
    bool transferSize = false;            // announce the size with "tsize"
    int32_t timeoutMs = 4000;             // the longest wait of one try: the timer's ceiling
};

// A datagram's sender: IPv4 address and port, host order.
struct Peer {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Peer&) const = default;
};

// Why an upload failed, as a value; RaiseUploadFailure turns it into its exception class.
struct UploadFailure {
    enum Kind {
        Timeout,       // no answer within the tries
        ServerError,   // the server's ERROR datagram (code, text)
        BadBlockSize,  // an acknowledged block size that cannot work
        BadWindowSize, // an acknowledged window size not in 1 .. the one asked for
        NotANumber,    // an option value that is no number (the classic policy)
        BadOption,     // reliable: an option acknowledgement refused (ERROR 8 went to the server)
    };
    Kind kind = Timeout;
    uint16_t code = 0; // ServerError only
    std::string message;
};
[[noreturn]] void RaiseUploadFailure(const UploadFailure& failure);

struct UploadStep {
    enum Kind {
        SendNew,    // classic: a new block (block, size) built from the next bytes of the source
        Resend,     // classic: the block last sent, again
        SendBlocks, // reliable: `count` blocks from index `first` (1: the first block), numbered from `block`
        Request,    // reliable: the write request again (UploadState::Request)
        Reject,     // reliable: ERROR 5 to the datagram's sender, nothing else changes
        Wait,       // reliable: nothing to send
        Done,
        Fail,
    };
    Kind kind = Resend;
    uint16_t block = 0;
    int32_t size = 0;
    int64_t first = 0;
    int32_t count = 0;
    UploadFailure failure; // Fail only
    // Fail only: the ERROR datagram owed to the server before giving up (empty: none), so
    // that it does not wait for blocks that will never come.
    std::string farewell;
};

// The block size an option acknowledgement's "blksize" text asks for, or the failure:
// 0 or less leaves no room for data (no short block would ever end the transfer), and above
// MaxDatagramBlockSize a block no longer fits in a datagram.
struct BlockSizeAnswer {
    int32_t size = 0;
    std::optional<UploadFailure> failure;
};
BlockSizeAnswer CheckBlockSize(std::string_view text);

// The classic rule: the block size of an option acknowledgement whose first option is
// "blksize"; none when the first option is another one.
std::optional<BlockSizeAnswer> NegotiatedBlockSize(Bytes packet);

class UploadState {
public:
    enum class Phase {
        Requested, // the write request is out, no answer yet
        Sending,   // blocks go out; the last one has not been built
        LastSent,  // the last block (the first short one) is out, its ACK is awaited
        Finished,
        Failed,
    };

    // bytes: what the source holds from its position to its end.
    explicit UploadState(int64_t bytes, UploadPolicy policy = {});

    // The reliable policy's write request, with its options until the server refused them.
    std::string Request(std::string_view remoteName, std::string_view mode) const;

    // Reliable: the write request is to go out now (Request, armed for its answer).
    UploadStep Begin(Micros now);
    // now: the reliable policy's clock (the classic policy has none): what it answers with a
    // send goes out at once, at this time.
    UploadStep OnDatagram(Bytes packet, Peer from = {}, Micros now = 0);
    // Classic: the receive time-out ran out. Reliable: the time reached Deadline() (earlier
    // it is no time-out).
    UploadStep OnTimeout(Micros now = 0);
    // Reliable: when OnTimeout is due, unless an answer comes first: the next burst of a
    // paced window, or the retransmission timer's deadline.
    Micros Deadline() const { return paced_.Pending() ? paced_.at : deadline_; }
    // Reliable: when the last send went out.
    Micros LastSend() const { return sentAt_; }
    // Reliable: the blocks of the last send went out only at `now`, held back (a rate cap):
    // its timer, and the window's pace, count from then.
    void SentLater(Micros now);

    Phase State() const { return phase_; }
    // Data bytes of a full block: 512 until an option acknowledgement says otherwise.
    int32_t BlockSize() const { return blockSize_; }
    // Blocks sent before waiting: 1 until an option acknowledgement grants more.
    int32_t WindowSize() const { return window_; }
    // The block short of a full one (the end of the data) has been built.
    bool LastBuilt() const { return lastBuilt_; }
    // The upload ended with the last block's ACK (not with silence after it).
    bool Acknowledged() const { return acknowledged_; }
    // Blocks and requests sent more than once.
    int64_t Retransmissions() const { return retransmissions_; }
    // Reliable: waits that ran out, short and whole.
    int64_t Timeouts() const { return timeouts_; }
    const RetransmitTimer& Timer() const { return timer_; }
    const WindowControl& Control() const { return control_; }
    // The reliable policy's blocks by index: where in the source, how many bytes, which number.
    int64_t BlockOffset(int64_t index) const { return (index - 1) * blockSize_; }
    int32_t BlockBytes(int64_t index) const;
    uint16_t BlockNumber(int64_t index) const { return static_cast<uint16_t>(origin_ + index); }
    int64_t BlockCount() const { return blocks_; }
    // Reliable: the blocks acknowledged, in order from the first.
    int64_t BlocksAcknowledged() const { return base_ - 1; }
    // Reliable: the server's transfer address and port, from its first answer on.
    const std::optional<Peer>& LockedPeer() const { return peer_; }

private:
    UploadStep ClassicDatagram(Bytes packet);
    UploadStep ClassicTimeout();
    UploadStep ReliableDatagram(Bytes packet, Peer from, Micros now);
    UploadStep ReliableTimeout(Micros now);
    UploadStep Repeated(Micros now);
    UploadStep Probe(int64_t index);
    UploadStep Again();
    UploadStep Beyond();
    void Past();
    Micros Patience() const;
    UploadStep Refuse(std::string what);
    UploadStep Armed(UploadStep step, Micros now);
    UploadStep Build(uint16_t block);
    UploadStep Fail(UploadFailure failure);
    UploadStep Accept(Bytes packet);
    UploadStep Send(int64_t first);
    UploadStep Burst();
    void Progress(int64_t index, Micros now);
    UploadStep Finish(bool acknowledged);

    const UploadPolicy policy_;
    const int64_t total_;
    Phase phase_ = Phase::Requested;
    int32_t blockSize_ = DefaultBlockSize;
    int32_t window_ = 1;
    bool acknowledged_ = false;
    bool lastBuilt_ = false;
    int64_t retransmissions_ = 0;
    // Classic: bytes not yet built and the number of the block last built.
    int64_t left_;
    uint16_t current_ = 0;
    // Reliable: blocks [base_, next_) are out and not acknowledged; blocks_ in all.
    int64_t base_ = 1;
    int64_t next_ = 1;
    int64_t blocks_ = 0;
    // Waits of a whole try in a row without progress.
    int32_t tries_ = 0;
    RetransmitTimer timer_;
    Micros sentAt_ = 0;
    Micros deadline_ = 0;
    int64_t timeouts_ = 0;
    // Time-outs in a row without progress: the probes alternate between the last block sent
    // and the first one unacknowledged.
    int32_t silent_ = 0;
    // When the blocks from base_ last went out together (not as a probe): after a patience
    // of an eighth of the ceiling without an answer they go again.
    Micros windowAt_ = 0;
    bool probed_ = false;
    // A time-out sent the window again, or the blocks past it: after a short wait, which does
    // not double the timer, the last of them goes again as a look for the answer (0: none);
    // the look after the window waits as short. brief_: the next send waits only the learned
    // time-out; beyond_: the look due follows the blocks past the window.
    int64_t lookAt_ = 0;
    bool brief_ = false;
    bool beyond_ = false;
    // The look went out (looked_), and the window went again for patience (patient_), since
    // the last progress. Progress only after the window, or no answer to the look either,
    // shows a receiver that answers no single block while it lacks one (deaf_): its patience
    // is two time-outs.
    bool looked_ = false;
    bool patient_ = false;
    bool deaf_ = false;
    // What is out went once since the last progress: its answer is a round-trip sample.
    bool clean_ = true;
    // Probes sent since the last progress, and those sent before it: a receiver that had the
    // probed block answers it with a repeated ACK, which is then no news.
    int32_t probes_ = 0;
    int32_t echoes_ = 0;
    bool options_ = true;
    // The window went out again for an ACK of the block before it; more such ACKs wait for
    // progress or a time-out, so that repeated ACKs cannot multiply the data.
    bool wentBack_ = false;
    // The window now out went twice (for a repeated ACK).
    bool doubled_ = false;
    // The window now going out in paced bursts.
    struct Paced {
        int64_t first = 1; // its first block
        int64_t next = 1;  // [next, last] are still to go, the next burst at `at`
        int64_t last = 0;
        Micros at = 0;
        Micros started = 0; // when its first burst went
        bool starting = false;
        bool Pending() const { return next <= last; }
    };
    WindowControl control_;
    Paced paced_;
    // The first time-out since the last progress (0: none).
    Micros expiredAt_ = 0;
    // The number of block 0: the first block is origin_ + 1.
    uint16_t origin_ = 0;
    std::optional<Peer> peer_;
};

} // namespace tftp
