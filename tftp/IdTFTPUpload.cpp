#include "tftp/IdTFTPUpload.h"

#include <algorithm>
#include <utility>

namespace tftp {

namespace {

UploadStep Just(UploadStep::Kind kind)
{
    UploadStep step;
    step.kind = kind;
    return step;
}

} // namespace

std::optional<BlockSizeAnswer> NegotiatedBlockSize(Bytes packet)
{
    const auto text = BlockSizeTextOf(packet);
    if (!text) return std::nullopt;
    return CheckBlockSize(*text);
}

UploadState::UploadState(int64_t bytes) : left_(bytes > 0 ? bytes : 0) {}

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

UploadStep UploadState::OnTimeout()
{
    // The last block's ACK may be lost on its way: silence after it counts as the end.
    if (phase_ == Phase::LastSent) return Finish(false);
    return Fail({UploadFailure::Timeout, 0, "Timeout"});
}

UploadStep UploadState::OnDatagram(Bytes packet)
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

} // namespace tftp
