// The rules of one upload as a pure state machine: it is told what arrived (a datagram and its
// sender, or a time-out) and answers what goes out next. No sockets, no clock, no stream: the
// client around it does the I/O.
//
// Two policies share it. Classic: one block per round trip, what the window's client always
// did (the first answer picks the first block, silence after the last block ends the upload,
// answers from anyone are taken). Reliable: our own programs' rules: a window of blocks
// (RFC 7440, go-back-N), the request or window sent again on a time-out, the server locked
// after its first answer, done only when the last block is acknowledged, one more request
// without options after an option refusal, and optionally the size announced (RFC 2349).
#pragma once

#include "tftp/IdTFTPPacket.h"

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
    int32_t tries = 5;                    // sends of one request or window before "Timeout"
    bool transferSize = false;            // announce the size with "tsize"
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
        NotANumber,    // an option value that is no number
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

    // late: the datagram came long after the blocks last sent (the I/O's judgement, a fraction
    // of the time-out): a repeated ACK then cannot be the echo of a block that went twice.
    UploadStep OnDatagram(Bytes packet, Peer from = {}, bool late = false);
    // early (reliable): a wait of a few round trips, far shorter than a try's, ended with the
    // last block out and unacknowledged. A receiver may linger only briefly for a lost final
    // ACK, so the last block alone goes again as a probe, without using up a try: a receiver
    // that has it all acknowledges it again, one that lacks an earlier block says which.
    UploadStep OnTimeout(bool early = false);

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
    UploadStep ReliableDatagram(Bytes packet, Peer from, bool late);
    UploadStep ReliableTimeout(bool early);
    UploadStep Build(uint16_t block);
    UploadStep Fail(UploadFailure failure);
    UploadStep Accept(Bytes packet);
    UploadStep Send(int64_t first);
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
    int32_t tries_ = 1;
    bool options_ = true;
    // The window went out again for an ACK of the block before it; more such ACKs wait for
    // progress or a time-out, so that repeated ACKs cannot multiply the data.
    bool wentBack_ = false;
    // The window now out went twice (for a repeated ACK).
    bool doubled_ = false;
    // The number of block 0: the first block is origin_ + 1.
    uint16_t origin_ = 0;
    std::optional<Peer> peer_;
};

} // namespace tftp
