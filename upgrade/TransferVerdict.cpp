#include "upgrade/TransferVerdict.h"

namespace upgrade {

TransferVerdict JudgeTransfer(Policy policy, const TransferEnd& end, std::string_view failureText)
{
    switch (end.how) {
    case TransferEnd::How::Returned:
        // Without the last acknowledgement the device may lack the end of its image.
        if (policy == Policy::Tool && !end.lastBlockAcknowledged)
            return {Result::Timeout, text::LastBlockUnacknowledged};
        return {Result::Done, text::Finished};
    case TransferEnd::How::TimedOut: return {Result::Timeout, std::string(failureText)};
    case TransferEnd::How::TftpFailure: return {Result::TftpError, std::string(failureText)};
    case TransferEnd::How::OtherFailure: break;
    }
    return {Result::LocalError, std::string(failureText)};
}

} // namespace upgrade
