// Whether a transfer of the image succeeded, judged from how the TFTP client's upload ended.
#pragma once

#include "tftp/FailureKind.h"
#include "upgrade/Result.h"
#include "upgrade/UpgradePolicy.h"

#include <string>
#include <string_view>

namespace upgrade {

struct TransferEnd {
    enum class How {
        Returned,    // the upload returned normally
        TimedOut,    // no answer within the tries
        TftpFailure, // the device's ERROR packet, or an answer the client cannot work with
        OtherFailure // anything else: a file, a socket, memory
    };
    How how = How::Returned;
    // The last block's acknowledgement came. The client also returns normally when it never
    // did (its time-out ends the upload as the window expects).
    bool lastBlockAcknowledged = false;
    // The last block went out at least once: a receiver may hold the whole file.
    bool lastBlockSent = false;
};

struct TransferVerdict {
    Result result = Result::LocalError; // Done, Timeout, Unconfirmed, TftpError or LocalError
    std::string message;                // the failure's own text, or one of text::
};

// failureText: the exception's message, for the failures.
TransferVerdict JudgeTransfer(Policy policy, const TransferEnd& end, std::string_view failureText = {});

// An upload that raised a failure of this kind: the one place a kind becomes a result.
// lastBlockSent: the whole image had gone out at least once.
TransferVerdict JudgeFailure(Policy policy, tftp::FailureKind kind, bool lastBlockSent,
                             std::string_view failureText);

} // namespace upgrade
