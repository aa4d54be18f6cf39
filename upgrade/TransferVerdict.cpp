#include "upgrade/TransferVerdict.h"

namespace upgrade {

TransferVerdict JudgeTransfer(Policy policy, const TransferEnd& end, std::string_view failureText)
{
    switch (end.how) {
    case TransferEnd::How::Returned:
        // Without the last acknowledgement the device may lack the end of its image.
        if (policy == Policy::Tool && !end.lastBlockAcknowledged)
            return {TransferResult::Timeout, text::LastBlockUnacknowledged};
        return {TransferResult::Done, text::Finished};
    case TransferEnd::How::TftpFailure:
        // A time-out leaves no sender behind; an ERROR packet names the device.
        return {end.peerAnswered ? TransferResult::TftpError : TransferResult::Timeout, std::string(failureText)};
    case TransferEnd::How::OtherFailure: break;
    }
    return {TransferResult::LocalError, std::string(failureText)};
}

} // namespace upgrade
