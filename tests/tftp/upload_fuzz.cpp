// libFuzzer target for the upload state machine and the packet parsers under it. The input
// is a size and a run of answers; whatever they are, the blocks built must be the source in
// order, numbered one after the other, and an upload may end "done" only when all of it went
// out, with the last block acknowledged or followed by silence.
#include "IdTFTPUpload.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

void Check(bool ok)
{
    if (!ok) std::abort();
}

// The parsers alone, on one datagram of their own: fields stay inside it.
void Parse(const uint8_t* data, size_t size)
{
    uint8_t* packet = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    std::memcpy(packet, data, size);
    const tftp::Bytes bytes{packet, size};
    Check((tftp::OpcodeOf(bytes) != 0) <= (size >= 2));
    Check(tftp::AckBlockOf(bytes).has_value() == (size >= 4));
    if (const auto error = tftp::ServerErrorOf(bytes)) {
        Check(error->message.size() <= size - 4);
        Check(error->message.find('\0') == std::string::npos);
    }
    if (const auto text = tftp::BlockSizeTextOf(bytes)) Check(text->size() + 10 <= size || text->empty());
    try {
        if (const auto blockSize = tftp::NegotiatedBlockSize(bytes))
            Check(*blockSize >= 1 && *blockSize <= tftp::MaxBlockSize);
    } catch (const std::exception&) {}
    std::free(packet);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An odd first byte: the parsers alone on the rest.
    if (size >= 1 && (data[0] & 1)) {
        Parse(data + 1, size - 1);
        return 0;
    }
    // Then 3 bytes: the source's size (up to 16 MiB, so that few answers reach its end).
    if (size < 4) return 0;
    ++data;
    --size;
    const int64_t total = (data[0] << 16 | data[1] << 8 | data[2]) & (data[0] & 0x80 ? 0x7FF : 0xFFFFFF);
    data += 3;
    size -= 3;

    tftp::UploadState state(total);
    int64_t sent = 0;
    bool started = false, lastBuilt = false;
    uint16_t current = 0;
    // Each answer: one length byte (0xFF: a time-out), then that many bytes.
    while (size > 0) {
        const uint8_t length = data[0];
        ++data;
        --size;
        tftp::UploadStep step;
        const bool timeout = length == 0xFF;
        uint16_t acked = 0;
        bool isAck = false;
        if (timeout) {
            step = state.OnTimeout();
        } else {
            const size_t n = length < size ? length : size;
            // A copy of its own, so that reading past the datagram is caught.
            uint8_t* packet = static_cast<uint8_t*>(std::malloc(n ? n : 1));
            std::memcpy(packet, data, n);
            step = state.OnDatagram(tftp::Bytes{packet, n});
            isAck = n >= 4 && packet[0] == 0 && packet[1] == 4;
            if (isAck) acked = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
            std::free(packet);
            data += n;
            size -= n;
        }
        switch (step.kind) {
        case tftp::UploadStep::SendNew:
            Check(!lastBuilt);
            if (started) Check(step.block == static_cast<uint16_t>(current + 1) && isAck && acked == current);
            Check(step.size >= 0 && step.size <= state.BlockSize() && sent + step.size <= total);
            sent += step.size;
            // Short of the block size in force: the end of the data, and no block after it
            // (a late option acknowledgement may change the size of later blocks).
            lastBuilt = step.size < state.BlockSize();
            Check(lastBuilt == state.LastBuilt());
            Check(!lastBuilt || sent == total);
            started = true;
            current = step.block;
            break;
        case tftp::UploadStep::Resend: Check(started); break;
        case tftp::UploadStep::Done:
            Check(lastBuilt && sent == total);
            Check(timeout || (isAck && acked == current));
            return 0;
        case tftp::UploadStep::Fail: Check(step.error != nullptr); return 0;
        }
    }
    return 0;
}
