#include "tftp/IdTFTPUpload.h"

#include "rtl/Exception.h"
#include "tftp/IdTFTPException.h"
#include "rtl/IntConv.h"

#include <algorithm>
#include <strings.h>

namespace tftp {

namespace {

bool NameIs(std::string_view name, std::string_view expected)
{
    return name.size() == expected.size() && ::strncasecmp(name.data(), expected.data(), name.size()) == 0;
}

UploadStep Just(UploadStep::Kind kind)
{
    UploadStep step;
    step.kind = kind;
    return step;
}

UploadFailure NotANumber(std::string_view text)
{
    return {UploadFailure::NotANumber, 0, "'" + std::string(text) + "' is not a valid integer value"};
}

} // namespace

void RaiseUploadFailure(const UploadFailure& failure)
{
    switch (failure.kind) {
    case UploadFailure::Timeout: throw EIdTFTPException(failure.message, tftp::FailureKind::Timeout);
    case UploadFailure::ServerError: RaiseTFTPError(failure.code, failure.message);
    case UploadFailure::BadBlockSize: throw EIdTFTPInvalidBlockSize(failure.message);
    case UploadFailure::BadWindowSize: throw EIdTFTPOptionNegotiationFailed(failure.message);
    case UploadFailure::NotANumber: throw EConvertError(failure.message);
    }
    throw EIdTFTPException(failure.message);
}

BlockSizeAnswer CheckBlockSize(std::string_view text)
{
    const auto size = rtl::TryStrToInt(text);
    if (!size) return {0, NotANumber(text)};
    if (*size <= 0 || *size > MaxDatagramBlockSize)
        return {0, UploadFailure{UploadFailure::BadBlockSize, 0,
                                 rtl::Format("Invalid block size %d from the server (allowed: 1 to %d)", *size,
                                             MaxDatagramBlockSize)}};
    return {*size, std::nullopt};
}

std::optional<BlockSizeAnswer> NegotiatedBlockSize(Bytes packet)
{
    const auto text = BlockSizeTextOf(packet);
    if (!text) return std::nullopt;
    return CheckBlockSize(*text);
}

UploadState::UploadState(int64_t bytes, UploadPolicy policy)
    : policy_(policy), total_(bytes > 0 ? bytes : 0), left_(total_)
{}

std::string UploadState::Request(std::string_view remoteName, std::string_view mode) const
{
    RequestOptions options;
    if (options_) {
        if (policy_.blockSize != DefaultBlockSize) options.blockSize = policy_.blockSize;
        if (policy_.windowSize > 1) options.windowSize = policy_.windowSize;
        if (policy_.transferSize) options.transferSize = total_;
    }
    return MakeWriteRequest(remoteName, mode, options);
}

int32_t UploadState::BlockBytes(int64_t index) const
{
    return static_cast<int32_t>(std::clamp<int64_t>(total_ - BlockOffset(index), 0, blockSize_));
}

UploadStep UploadState::Fail(UploadFailure failure)
{
    phase_ = Phase::Failed;
    UploadStep step;
    step.kind = UploadStep::Fail;
    step.failure = std::move(failure);
    return step;
}

UploadStep UploadState::Finish(bool acknowledged)
{
    phase_ = Phase::Finished;
    acknowledged_ = acknowledged;
    return Just(UploadStep::Done);
}

UploadStep UploadState::OnDatagram(Bytes packet, Peer from, bool late)
{
    return policy_.policy == Policy::Classic ? ClassicDatagram(packet) : ReliableDatagram(packet, from, late);
}

UploadStep UploadState::OnTimeout(bool early)
{
    return policy_.policy == Policy::Classic ? ClassicTimeout() : ReliableTimeout(early);
}

// Classic: one block per round trip.

UploadStep UploadState::Build(uint16_t block)
{
    const int32_t size = static_cast<int32_t>(std::min<int64_t>(blockSize_, left_));
    left_ -= size;
    current_ = block;
    lastBuilt_ = size < blockSize_;
    phase_ = lastBuilt_ ? Phase::LastSent : Phase::Sending;
    UploadStep step;
    step.kind = UploadStep::SendNew;
    step.block = block;
    step.size = size;
    return step;
}

UploadStep UploadState::ClassicTimeout()
{
    // The last block's ACK may be lost on its way: silence after it counts as the end.
    if (phase_ == Phase::LastSent) return Finish(false);
    return Fail({UploadFailure::Timeout, 0, "Timeout"});
}

UploadStep UploadState::ClassicDatagram(Bytes packet)
{
    // ACK and ERROR datagrams too short for their fields count as unknown opcodes.
    const uint16_t opcode = OpcodeOf(packet);
    if (opcode == opERROR) {
        if (const auto error = ServerErrorOf(packet))
            return Fail({UploadFailure::ServerError, error->code, error->message});
    } else if (opcode == opOACK) {
        if (const auto answer = NegotiatedBlockSize(packet)) {
            if (answer->failure) return Fail(*answer->failure);
            blockSize_ = answer->size;
        }
    } else if (opcode == opACK) {
        if (const auto block = AckBlockOf(packet)) {
            // The server's first answer picks the first block: ACK n asks for n + 1.
            if (phase_ == Phase::Requested) return Build(static_cast<uint16_t>(*block + 1));
            // Afterwards only the ACK of the block just sent moves on. An older, repeated
            // or foreign number (before or after the wrap) means that block went missing or
            // the ACK is stale: building a block for it would skip data, so the current
            // block goes out again unchanged.
            if (*block == current_) {
                if (phase_ == Phase::LastSent) return Finish(true);
                return Build(static_cast<uint16_t>(current_ + 1));
            }
        }
    }
    if (phase_ == Phase::Requested) return Build(1);
    return UploadStep{};
}

// Reliable: a window of blocks, go-back-N.

UploadStep UploadState::Send(int64_t first)
{
    const int64_t last = std::min<int64_t>(first + window_ - 1, blocks_);
    // Blocks below next_ went out before: they go again.
    retransmissions_ += std::max<int64_t>(0, std::min(next_, last + 1) - first);
    next_ = last + 1;
    lastBuilt_ = next_ > blocks_;
    phase_ = lastBuilt_ ? Phase::LastSent : Phase::Sending;
    UploadStep step;
    step.kind = UploadStep::SendBlocks;
    step.block = BlockNumber(first);
    step.first = first;
    step.count = static_cast<int32_t>(last - first + 1);
    return step;
}

UploadStep UploadState::Accept(Bytes packet)
{
    if (OpcodeOf(packet) == opOACK) {
        for (const Option& option : OptionsOf(packet)) {
            if (NameIs(option.name, "blksize")) {
                const BlockSizeAnswer answer = CheckBlockSize(option.value);
                if (answer.failure) return Fail(*answer.failure);
                blockSize_ = answer.size;
            } else if (NameIs(option.name, "windowsize")) {
                const auto size = rtl::TryStrToInt(option.value);
                if (!size) return Fail(NotANumber(option.value));
                // More than asked would have the server wait for blocks that never come.
                if (*size < 1 || *size > std::max(policy_.windowSize, 1))
                    return Fail({UploadFailure::BadWindowSize, 0,
                                 rtl::Format("Invalid window size %d from the server (allowed: 1 to %d)", *size,
                                             std::max(policy_.windowSize, 1))});
                window_ = *size;
            }
            // tsize is only echoed, other options were not asked for: neither changes anything.
        }
    }
    tries_ = 1;
    blocks_ = total_ / blockSize_ + 1;
    return Send(1);
}

UploadStep UploadState::ReliableDatagram(Bytes packet, Peer from, bool late)
{
    if (phase_ == Phase::Finished || phase_ == Phase::Failed) return Just(UploadStep::Wait);
    if (peer_ && from != *peer_) return Just(UploadStep::Reject);
    const uint16_t opcode = OpcodeOf(packet);
    if (opcode == opERROR) {
        const auto error = ServerErrorOf(packet);
        if (!error) return Just(UploadStep::Wait);
        // An option refusal: one more request without options, answered from a new port.
        if (error->code == 8 && phase_ == Phase::Requested && options_) {
            options_ = false;
            tries_ = 1;
            peer_.reset();
            return Just(UploadStep::Request);
        }
        return Fail({UploadFailure::ServerError, error->code, error->message});
    }
    const auto ack = AckBlockOf(packet);
    if (phase_ == Phase::Requested) {
        // As in the classic policy, the first ACK n numbers the first block n + 1.
        if (opcode == opOACK || (opcode == opACK && ack)) {
            peer_ = from;
            origin_ = opcode == opACK ? *ack : 0;
            return Accept(opcode == opOACK ? packet : Bytes{nullptr, 0});
        }
        return Just(UploadStep::Wait);
    }
    // A repeated option acknowledgement: the server has not seen block 1.
    int64_t index = -1;
    if (opcode == opOACK && base_ == 1)
        index = 0;
    else if (opcode == opACK && ack) {
        // Which block of [base_ - 1, next_ - 1] carries this number (16 bits, across the wrap).
        const int64_t ahead = static_cast<uint16_t>(*ack - BlockNumber(base_ - 1));
        if (ahead <= next_ - base_) index = base_ - 1 + ahead;
    }
    if (index < 0) return Just(UploadStep::Wait);
    if (index == base_ - 1) {
        // The receiver lacks block base_ (a gap, or its time-out): go back to it, once per
        // window, and again for a late repeat, which cannot be the echo of blocks sent twice.
        // Going back for every repeat would send every window twice from the first
        // duplicated ACK on (the Sorcerer's Apprentice of RFC 1123).
        if (wentBack_ && !late) return Just(UploadStep::Wait);
        wentBack_ = true;
        doubled_ = true;
        return Send(base_);
    }
    tries_ = 1;
    // After a window that went twice, the receiver's answers to the copies come as repeats.
    wentBack_ = doubled_;
    doubled_ = false;
    base_ = index + 1;
    if (index == blocks_) return Finish(true);
    // Blocks after the acknowledged one that were out went missing: they go again.
    return Send(base_);
}

UploadStep UploadState::ReliableTimeout(bool early)
{
    if (phase_ == Phase::Finished || phase_ == Phase::Failed) return Just(UploadStep::Wait);
    if (early) {
        if (phase_ != Phase::LastSent) return Just(UploadStep::Wait);
        ++retransmissions_;
        UploadStep step = Just(UploadStep::SendBlocks);
        step.block = BlockNumber(blocks_);
        step.first = blocks_;
        step.count = 1;
        return step;
    }
    if (tries_ >= policy_.tries) return Fail({UploadFailure::Timeout, 0, "Timeout"});
    ++tries_;
    wentBack_ = false;
    doubled_ = false;
    if (phase_ == Phase::Requested) {
        ++retransmissions_;
        return Just(UploadStep::Request);
    }
    return Send(base_);
}

} // namespace tftp
