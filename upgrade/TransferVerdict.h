// Whether a transfer of the image succeeded, judged from how the TFTP client's upload ended.
#pragma once

#include "upgrade/UpgradePolicy.h"

#include <string>
#include <string_view>

namespace upgrade {

enum class TransferResult { Done, Timeout, TftpError, LocalError };

struct TransferEnd {
    enum class How {
        Returned,    // the upload returned normally
        TftpFailure, // it raised a TFTP exception (an ERROR packet, a time-out, a bad answer)
        OtherFailure // anything else: a file, a socket, memory
    };
    How how = How::Returned;
    // A server's datagram came: an ERROR packet then names the device, not silence.
    bool peerAnswered = false;
    // The last block's acknowledgement came. The client also returns normally when it never
    // did (its time-out ends the upload as the window expects).
    bool lastBlockAcknowledged = false;
};

struct TransferVerdict {
    TransferResult result = TransferResult::LocalError;
    std::string message; // the failure's own text, or one of text::
};

// failureText: the exception's message, for the failures.
TransferVerdict JudgeTransfer(Policy policy, const TransferEnd& end, std::string_view failureText = {});

} // namespace upgrade
