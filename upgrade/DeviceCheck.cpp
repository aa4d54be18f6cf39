#include "upgrade/DeviceCheck.h"

#include "devmsg/wire/DeviceFrames.h"

#include <algorithm>

namespace upgrade {

using namespace devmsg::frames;

bool AnswersFrom(std::span<const uint8_t> record, std::string_view ip)
{
    return IsDiscoveryAnswer(record) && ReplyIpText(record) == ip;
}

namespace {

bool SameDevice(std::span<const uint8_t> reply, std::span<const uint8_t> found)
{
    for (size_t i = 0; i < MacSize; ++i)
        if (ReplyByte(reply, RepMac + i) != ReplyByte(found, RepMac + i)) return false;
    return ReplyIpText(reply) == ReplyIpText(found);
}

} // namespace

CheckStep DeviceCheck::OnDiscoveryAnswer(std::span<const uint8_t> record, uint8_t form, std::string_view typedIp,
                                         std::string_view password)
{
    CheckStep step;
    if (ReplyIpText(record) != typedIp) return step;
    step.found = true;
    if (policy_ == Policy::Tool && state_ == State::Accepted) return step;
    if (firstAnswer_.empty()) firstAnswer_.assign(record.begin(), record.end());
    if (std::find(forms_.begin(), forms_.end(), form) == forms_.end()) forms_.push_back(form);
    const uint8_t passwordProtocol = PasswordProtocolFor(form);
    if (policy_ == Policy::Tool) {
        if (std::find(asked_.begin(), asked_.end(), passwordProtocol) != asked_.end()) return step;
        asked_.push_back(passwordProtocol);
        ++unanswered_;
    }
    if (state_ == State::Searching) state_ = State::Asked;
    step.send.push_back(BuildPasswordRequest(record, password, passwordProtocol));
    return step;
}

CheckStep DeviceCheck::OnPasswordAnswer(std::span<const uint8_t> record)
{
    CheckStep step;
    if (policy_ == Policy::Tool) {
        // Only the device asked answers the tool's own socket: an answer before any request
        // is stray, and once accepted the check is over.
        if (state_ == State::Searching || state_ == State::Accepted) return step;
        if (!SameDevice(record, firstAnswer_)) {
            step.stray = true;
            return step;
        }
        unanswered_ = std::max(0, unanswered_ - 1);
    }
    if (ReplyResult(record) == 0) {
        state_ = State::Accepted;
        step.accepted = true;
        return step;
    }
    // The window shows every refusal, also after an acceptance; the state keeps the acceptance.
    if (state_ != State::Accepted) state_ = State::Refused;
    step.refused = true;
    step.result = refusal_ = ReplyResult(record);
    step.status = refusalStatus_ = ReplyStatus(record);
    return step;
}

CheckStep DeviceCheck::OnReply(std::span<const uint8_t> record, std::string_view typedIp,
                               std::string_view password)
{
    const uint8_t protocol = ReplyProtocol(record);
    if (IsDiscoveryAnswer(record)) return OnDiscoveryAnswer(record, protocol, typedIp, password);
    if (protocol == WdcpPassword || protocol == WdcpPasswordV4) return OnPasswordAnswer(record);
    return {};
}

bool DeviceCheck::Settled() const
{
    return state_ == State::Accepted || (state_ == State::Refused && unanswered_ == 0);
}

} // namespace upgrade
