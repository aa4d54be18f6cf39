// libFuzzer target for the upload state machine (both policies) and the packet parsers under
// it. The input is a policy, a size and a run of answers; whatever they are, the blocks built
// must be the source in order, numbered one after the other, and an upload may end "done"
// only when all of it went out: classic with the last block acknowledged or followed by
// silence, reliable only with the last block's ACK from the transfer's peer.
#include "tftp/IdTFTPUpload.h"
#include "tftp/ReliableUpload.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>

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
    if (const auto answer = tftp::NegotiatedBlockSize(bytes))
        Check(answer->failure || (answer->size >= 1 && answer->size <= tftp::MaxDatagramBlockSize));
    size_t seen = 2;
    for (const tftp::Option& option : tftp::OptionsOf(bytes)) {
        seen += option.name.size() + option.value.size() + 2;
        Check(option.name.data() >= reinterpret_cast<const char*>(packet) + 2);
        Check(option.value.data() + option.value.size() <= reinterpret_cast<const char*>(packet) + size ||
              option.value.empty());
    }
    Check(size < 2 || seen <= size + 2);
    std::free(packet);
}

struct Answer {
    tftp::UploadStep step;
    bool timeout = false;
    bool isAck = false;
    uint16_t acked = 0;
    tftp::Peer from;
    bool probe = false; // a time-out short of a whole try
    tftp::Micros now = 0;
};

// Feeds one answer taken from the input: a length byte (0xFF: a time-out, for the reliable
// policy a whole try of silence; 0xFE: for the reliable policy the timer's deadline, else a
// time-out too), for the reliable policy a sender byte (bit 0: the server's transfer port or
// another one, bits 1-7: milliseconds since the event before), then the datagram's bytes.
template <class State> bool Next(State& state, const uint8_t*& data, size_t& size, Answer& a)
{
    constexpr bool reliable = std::is_same_v<State, tftp::ReliableUpload>;
    if (size == 0) return false;
    const uint8_t length = data[0];
    ++data;
    --size;
    const tftp::Micros before = a.now;
    a = Answer{};
    a.now = before;
    if (length >= 0xFE) {
        a.timeout = true;
        a.probe = reliable && length == 0xFE;
        if constexpr (reliable) {
            a.now = std::max(a.now, a.probe ? state.Deadline() : state.LastSend() + state.Timer().Ceiling());
            a.step = state.OnTimeout(a.now);
        } else {
            a.step = state.OnTimeout();
        }
        return true;
    }
    if constexpr (reliable) {
        if (size == 0) return false;
        a.from = tftp::Peer{0x7F000002, static_cast<uint16_t>(1069 + (data[0] & 1))};
        a.now += (data[0] >> 1) * 1000;
        ++data;
        --size;
    }
    const size_t n = length < size ? length : size;
    // A copy of its own, so that reading past the datagram is caught.
    uint8_t* packet = static_cast<uint8_t*>(std::malloc(n ? n : 1));
    std::memcpy(packet, data, n);
    if constexpr (reliable)
        a.step = state.OnDatagram(tftp::Bytes{packet, n}, a.from, a.now);
    else
        a.step = state.OnDatagram(tftp::Bytes{packet, n});
    a.isAck = n >= 4 && packet[0] == 0 && packet[1] == 4;
    if (a.isAck) a.acked = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
    std::free(packet);
    data += n;
    size -= n;
    return true;
}

void Classic(int64_t total, const uint8_t* data, size_t size)
{
    tftp::UploadState state(total);
    int64_t sent = 0;
    bool started = false, lastBuilt = false;
    uint16_t current = 0;
    Answer a;
    while (Next(state, data, size, a)) {
        const tftp::UploadStep& step = a.step;
        switch (step.kind) {
        case tftp::UploadStep::SendNew:
            Check(!lastBuilt);
            if (started) Check(step.block == static_cast<uint16_t>(current + 1) && a.isAck && a.acked == current);
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
            Check(a.timeout || (a.isAck && a.acked == current));
            Check(state.Acknowledged() == !a.timeout);
            return;
        case tftp::UploadStep::Fail:
            Check(!step.failure.message.empty() || step.failure.kind != tftp::FailureKind::Timeout);
            return;
        default: Check(false); // the classic policy has no other answers
        }
    }
}

void Reliable(int64_t total, tftp::UploadPolicy policy, const uint8_t* data, size_t size)
{
    tftp::ReliableUpload state(total, policy);
    int64_t acked = 0;   // blocks acknowledged in order (the first block of each window less one)
    int64_t highest = 0; // highest block index sent
    bool started = false;
    std::optional<tftp::Peer> peer;
    Answer a;
    while (Next(state, data, size, a)) {
        const tftp::UploadStep& step = a.step;
        if (!a.timeout && step.kind != tftp::UploadStep::Reject && state.LockedPeer()) peer = state.LockedPeer();
        switch (step.kind) {
        case tftp::UploadStep::SendBlocks: {
            Check(step.count >= 1 && step.count <= state.WindowSize());
            Check(step.first + step.count - 1 <= state.BlockCount());
            Check(step.block == state.BlockNumber(step.first));
            const int64_t now = state.BlocksAcknowledged();
            // A probe is one block (the last one sent, the first unacknowledged or the window's
            // last), or the blocks past the window, never beyond a second window.
            const int64_t reach = now + state.WindowSize();
            if (a.probe && step.first == reach + 1)
                Check(step.first + step.count - 1 <= reach + state.WindowSize());
            else if (a.probe && step.count == 1)
                Check(step.first == highest || step.first == now + 1 ||
                      step.first == std::min(reach, state.BlockCount()));
            // The window never skips data: it starts right behind what was acknowledged, and
            // that moves on only for an ACK of a block that went out, from the transfer's peer.
            else
                Check(step.first == now + 1);
            Check(now >= acked && now <= highest);
            if (now > acked) {
                Check(a.isAck && a.acked == state.BlockNumber(now) && a.from == *peer);
            }
            if (!started) {
                // The sizes cover the source exactly, the last block the only short one.
                int64_t sum = 0;
                for (int64_t i = 1; i <= state.BlockCount(); ++i) {
                    const int32_t n = state.BlockBytes(i);
                    Check(n >= 0 && n <= state.BlockSize());
                    Check((i < state.BlockCount()) == (n == state.BlockSize()));
                    sum += n;
                    if (i > 4 && i < state.BlockCount() - 4) i = state.BlockCount() - 4; // the ends suffice
                }
                Check(sum <= total);
                Check(state.BlockOffset(state.BlockCount()) + state.BlockBytes(state.BlockCount()) == total);
                started = true;
            }
            acked = now;
            if (step.first + step.count - 1 > highest) highest = step.first + step.count - 1;
            Check(highest <= reach + state.WindowSize());
            break;
        }
        case tftp::UploadStep::Reject: Check(!a.timeout && peer && !(a.from == *peer)); break;
        case tftp::UploadStep::Request: Check(!started); break;
        case tftp::UploadStep::Wait: Check(state.BlocksAcknowledged() == acked || !started); break;
        case tftp::UploadStep::Done:
            Check(started && highest == state.BlockCount());
            Check(a.isAck && a.acked == state.BlockNumber(state.BlockCount()) && a.from == *peer);
            Check(state.Acknowledged());
            return;
        case tftp::UploadStep::Fail: Check(state.State() == tftp::ReliableUpload::Phase::Failed); return;
        default: Check(false); // the reliable policy has no other answers
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An odd first byte: the parsers alone on the rest.
    if (size >= 1 && (data[0] & 1)) {
        Parse(data + 1, size - 1);
        return 0;
    }
    // Bit 1: the reliable policy, its window (1 to 64) and tries (1 to 4) from the next byte.
    if (size < 5) return 0;
    const bool reliable = data[0] & 2;
    // Bit 3: a ceiling of 100 ms, else 4 s.
    tftp::UploadPolicy policy{512 << (data[0] >> 6), 1 + (data[1] & 63), 1 + (data[1] >> 6), (data[0] & 4) != 0,
                              data[0] & 8 ? 100 : 4000};
    data += 2;
    size -= 2;
    // Then 3 bytes: the source's size (up to 16 MiB, so that few answers reach its end).
    const int64_t total = (data[0] << 16 | data[1] << 8 | data[2]) & (data[0] & 0x80 ? 0x7FF : 0xFFFFFF);
    data += 3;
    size -= 3;
    if (reliable)
        Reliable(total, policy, data, size);
    else
        Classic(total, data, size);
    return 0;
}
