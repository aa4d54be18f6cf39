// The window's upload rules as a pure state machine: one block per round trip. It is told
// what arrived (a datagram, or that the receive time-out ran out) and answers what goes out
// next; the client around it (TIdTrivialFTP) does the I/O. The first answer picks the first
// block, silence after the last block ends the upload, and answers from anyone are taken.
// Our own programs' rules are ReliableUpload's.
#pragma once

#include "tftp/UploadStep.h"

#include <cstdint>
#include <optional>

namespace tftp {

// The block size of an option acknowledgement whose first option is "blksize"; none when the
// first option is another one.
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
    explicit UploadState(int64_t bytes);

    UploadStep OnDatagram(Bytes packet);
    // The receive time-out ran out.
    UploadStep OnTimeout();

    Phase State() const { return phase_; }
    // Data bytes of a full block: 512 until an option acknowledgement says otherwise.
    int32_t BlockSize() const { return blockSize_; }
    // One block per round trip.
    int32_t WindowSize() const { return 1; }
    // The block short of a full one (the end of the data) has been built.
    bool LastBuilt() const { return lastBuilt_; }
    // The upload ended with the last block's ACK (not with silence after it).
    bool Acknowledged() const { return acknowledged_; }
    // Never anything twice on its own: the client sends the current block again.
    int64_t Retransmissions() const { return 0; }

private:
    UploadStep Build(uint16_t block);
    UploadStep Fail(UploadFailure failure);
    UploadStep Finish(bool acknowledged);

    Phase phase_ = Phase::Requested;
    int32_t blockSize_ = DefaultBlockSize;
    bool acknowledged_ = false;
    bool lastBuilt_ = false;
    // Bytes not yet built and the number of the block last built.
    int64_t left_;
    uint16_t current_ = 0;
};

} // namespace tftp
