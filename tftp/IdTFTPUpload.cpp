#include "IdTFTPUpload.h"

#include "Exception.h"
#include "IdTFTPException.h"
#include "IntConv.h"

#include <algorithm>

namespace tftp {

std::optional<int32_t> NegotiatedBlockSize(Bytes packet)
{
    const auto text = BlockSizeTextOf(packet);
    if (!text) return std::nullopt;
    const int32_t blockSize = StrToInt(*text);
    // 0 or less leaves no room for data, so no short block would ever end the transfer;
    // above the maximum the blocks no longer fit in a datagram.
    if (blockSize <= 0 || blockSize > MaxBlockSize)
        throw EIdTFTPInvalidBlockSize(
            Format("Invalid block size %d from the server (allowed: 1 to %d)", blockSize, MaxBlockSize));
    return blockSize;
}

UploadStep UploadState::Failed(std::exception_ptr error)
{
    UploadStep step;
    step.kind = UploadStep::Fail;
    step.error = std::move(error);
    return step;
}

UploadStep UploadState::Build(uint16_t block)
{
    const int32_t size = static_cast<int32_t>(std::min<int64_t>(blockSize_, left_));
    left_ -= size;
    started_ = true;
    current_ = block;
    last_ = size < blockSize_;
    UploadStep step;
    step.kind = UploadStep::SendNew;
    step.block = block;
    step.size = size;
    return step;
}

UploadStep UploadState::OnTimeout() const
{
    // The last block's ACK may be lost on its way: silence after it counts as the end.
    if (last_) return UploadStep{UploadStep::Done, 0, 0, nullptr};
    return Failed(std::make_exception_ptr(EIdTFTPException("Timeout")));
}

UploadStep UploadState::OnDatagram(Bytes packet)
{
    // ACK and ERROR datagrams too short for their fields count as unknown opcodes.
    const uint16_t opcode = OpcodeOf(packet);
    if (opcode == opERROR) {
        if (const auto error = ServerErrorOf(packet)) {
            try {
                RaiseTFTPError(error->code, error->message);
            } catch (...) {
                return Failed(std::current_exception());
            }
        }
    } else if (opcode == opOACK) {
        try {
            if (const auto size = NegotiatedBlockSize(packet)) blockSize_ = *size;
        } catch (...) {
            return Failed(std::current_exception());
        }
    } else if (opcode == opACK) {
        if (const auto block = AckBlockOf(packet)) {
            // The server's first answer picks the first block: ACK n asks for n + 1.
            if (!started_) return Build(static_cast<uint16_t>(*block + 1));
            // Afterwards only the ACK of the block just sent moves on. An older, repeated
            // or foreign number (before or after the wrap) means that block went missing or
            // the ACK is stale: building a block for it would skip data, so the current
            // block goes out again unchanged.
            if (*block == current_) {
                if (last_) return UploadStep{UploadStep::Done, 0, 0, nullptr};
                return Build(static_cast<uint16_t>(current_ + 1));
            }
        }
    }
    if (!started_) return Build(1);
    return UploadStep{};
}

} // namespace tftp
