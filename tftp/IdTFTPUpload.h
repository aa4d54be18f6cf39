// The lock-step rules of one upload as a pure state machine: it is told what arrived (a
// datagram or a time-out) and answers what goes out next. No sockets, no clock, no stream:
// the client around it does the I/O.
#pragma once

#include "IdTFTPPacket.h"

#include <cstdint>
#include <exception>

namespace tftp {

struct UploadStep {
    enum Kind { SendNew, Resend, Done, Fail };
    Kind kind = Resend;
    // SendNew: the new block's number and how many bytes of the source it carries.
    uint16_t block = 0;
    int32_t size = 0;
    // Fail: what the upload raises.
    std::exception_ptr error;
};

// The block size an option acknowledgement asks for, or none when its first option is
// not "blksize". Raises EConvertError for a value that is no number and
// EIdTFTPInvalidBlockSize for one that leaves no room for data or does not fit a datagram.
std::optional<int32_t> NegotiatedBlockSize(Bytes packet);

class UploadState {
public:
    // bytes: what the source holds from its position to its end.
    explicit UploadState(int64_t bytes) : left_(bytes > 0 ? bytes : 0) {}

    UploadStep OnDatagram(Bytes packet);
    UploadStep OnTimeout() const;

    // Data bytes of a full block: 512 until an option acknowledgement says otherwise.
    int32_t BlockSize() const { return blockSize_; }
    // The block short of a full one (the end of the data) has been built.
    bool LastBuilt() const { return last_; }

private:
    UploadStep Build(uint16_t block);
    static UploadStep Failed(std::exception_ptr error);

    int64_t left_;
    int32_t blockSize_ = DefaultBlockSize;
    bool started_ = false;
    bool last_ = false;
    uint16_t current_ = 0;
};

} // namespace tftp
