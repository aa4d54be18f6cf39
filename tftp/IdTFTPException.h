// TFTP failures: one class per error code of an ERROR packet, each carrying the server's
// message text.
#pragma once

#include "net/IdException.h"

#include <cstdint>
#include <string>

class EIdTFTPException : public EIdException {
public:
    using EIdException::EIdException;
    EIdTFTPException(std::string message, int32_t serverCode)
        : EIdException(std::move(message)), serverCode_(serverCode)
    {}
    // The error code of the server's ERROR packet; -1 for the client's own failures (time-out,
    // unusable block size).
    int32_t ServerCode() const noexcept { return serverCode_; }

private:
    int32_t serverCode_ = -1;
};

#define ID_TFTP_EXCEPTION(Name)                                                                                   \
    class Name : public EIdTFTPException {                                                                        \
    public:                                                                                                       \
        using EIdTFTPException::EIdTFTPException;                                                                 \
    }

ID_TFTP_EXCEPTION(EIdTFTPFileNotFound);            // 1
ID_TFTP_EXCEPTION(EIdTFTPAccessViolation);         // 2
ID_TFTP_EXCEPTION(EIdTFTPAllocationExceeded);      // 3
ID_TFTP_EXCEPTION(EIdTFTPIllegalOperation);        // 4
ID_TFTP_EXCEPTION(EIdTFTPUnknownTransferID);       // 5
ID_TFTP_EXCEPTION(EIdTFTPFileAlreadyExists);       // 6
ID_TFTP_EXCEPTION(EIdTFTPNoSuchUser);              // 7
ID_TFTP_EXCEPTION(EIdTFTPOptionNegotiationFailed); // 8
// A block size from the server's option acknowledgement that leaves no room for data or
// does not fit in a datagram.
ID_TFTP_EXCEPTION(EIdTFTPInvalidBlockSize);

#undef ID_TFTP_EXCEPTION

// Raises the class for an ERROR packet's code with its message.
[[noreturn]] void RaiseTFTPError(uint16_t code, const std::string& message);
