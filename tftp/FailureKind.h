// Why an upload failed: one vocabulary from the state machines (UploadFailure) through the
// exceptions they raise (EIdTFTPException::Kind) to the tools' results
// (upgrade/TransferVerdict.h). Callers name results from this, never from the message: a
// server's ERROR text may read "Timeout" too.
#pragma once

namespace tftp {

enum class FailureKind {
    Timeout,       // no answer within the tries
    ServerError,   // the server's ERROR datagram (its code, its text)
    BadBlockSize,  // an acknowledged block size that cannot work
    BadWindowSize, // an acknowledged window size not in 1 .. the one asked for
    NotANumber,    // an option value that is no number (the classic policy)
    BadOption,     // reliable: an option acknowledgement refused (ERROR 8 went to the server)
    Local,         // not the transfer's: a file, a socket, memory
};

} // namespace tftp
