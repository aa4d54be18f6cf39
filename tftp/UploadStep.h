// What both upload state machines speak: who sent a datagram, what goes out next, and why an
// upload failed, as values. The machines do no I/O; the clients around them do.
#pragma once

#include "tftp/FailureKind.h"
#include "tftp/IdTFTPPacket.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tftp {

// A datagram's sender: IPv4 address and port, host order.
struct Peer {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Peer&) const = default;
};

// Why an upload failed, as a value; RaiseUploadFailure turns it into its exception class.
struct UploadFailure {
    using Kind = FailureKind;
    using enum FailureKind; // UploadFailure::Timeout, ...: what the machines fail with
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
        Request,    // reliable: the write request again (ReliableUpload::Request)
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

} // namespace tftp
