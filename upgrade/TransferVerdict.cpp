#include "upgrade/TransferVerdict.h"

namespace upgrade {

TransferVerdict JudgeTransfer(Policy policy, const TransferEnd& end, std::string_view failureText)
{
    switch (end.how) {
    case TransferEnd::How::Returned:
        // Without the last acknowledgement the tools cannot say the device has its image;
        // it may, so it is no plain time-out either: writing it again could meet a device
        // that restarted with it.
        if (policy == Policy::Tool && !end.lastBlockAcknowledged)
            return {Result::Unconfirmed, text::LastBlockUnconfirmed};
        return {Result::Done, text::Finished};
    case TransferEnd::How::TimedOut:
        if (policy == Policy::Tool && end.lastBlockSent) return {Result::Unconfirmed, text::LastBlockUnconfirmed};
        return {Result::Timeout, std::string(failureText)};
    case TransferEnd::How::TftpFailure: return {Result::TftpError, std::string(failureText)};
    case TransferEnd::How::OtherFailure: break;
    }
    return {Result::LocalError, std::string(failureText)};
}

namespace {

TransferEnd::How HowFailed(tftp::FailureKind kind)
{
    using Kind = tftp::FailureKind;
    switch (kind) {
    case Kind::Timeout: return TransferEnd::How::TimedOut;
    case Kind::Local: return TransferEnd::How::OtherFailure;
    case Kind::ServerError:
    case Kind::BadBlockSize:
    case Kind::BadWindowSize:
    case Kind::NotANumber:
    case Kind::BadOption: break;
    }
    return TransferEnd::How::TftpFailure;
}

} // namespace

TransferVerdict JudgeFailure(Policy policy, tftp::FailureKind kind, bool lastBlockSent,
                             std::string_view failureText)
{
    return JudgeTransfer(policy, {HowFailed(kind), false, lastBlockSent}, failureText);
}

} // namespace upgrade
