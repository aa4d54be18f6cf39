#include "cli/DeviceJob.h"

#include "cli/DeviceLink.h"
#include "tftp/IdTFTPException.h"
#include "cli/Image.h"
#include "posix/NeighbourCache.h"
#include "tftp/TftpSender.h"

#include "upgrade/DeviceCheck.h"
#include "upgrade/TransferVerdict.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;

// Socket error messages span two lines; a report holds one.
std::string OneLine(std::string text)
{
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.replace(at, 2, ": ");
    return text;
}

struct Outcome {
    Result result = Result::LocalError;
    std::string message;
    uint64_t bytes = 0;
    int32_t windowSize = 0; // granted, 0 before a transfer began
    int64_t retransmissions = 0;
};

// A discovery request or its answers get lost on a busy network: ask again this often.
constexpr auto DiscoveryRound = std::chrono::milliseconds(250);

bool StopAsked(const JobPlan& plan)
{
    if (plan.stopFd < 0) return false;
    pollfd fd{plan.stopFd, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

const Outcome Stopped{Result::Interrupted, "Interrupted before it finished"};

void ReportDrops(DeviceLink& link, uint64_t& reported, const JobSink& sink)
{
    if (link.Dropped() == reported) return;
    sink(DroppedEvent{link.Dropped() - reported});
    reported = link.Dropped();
}

// Discovery (unless the fleet's shared one found the device) and password check; Done when
// the password was accepted.
Outcome CheckPassword(const JobPlan& plan, DeviceLink& link, const JobSink& sink)
{
    using State = upgrade::DeviceCheck::State;
    upgrade::DeviceCheck check(upgrade::Policy::Tool);
    DeviceTable claims; // every hardware address that answers for the address
    bool reported = false;
    const auto take = [&](const std::vector<uint8_t>& record) {
        claims.Add(record);
        for (const auto& frame : check.OnReply(record, plan.ip, plan.password).send)
            link.Send(frame);
        if (!reported && check.Found()) {
            DeviceEntry device = DeviceFromAnswer(check.FirstAnswer());
            device.protocols = check.Forms();
            sink(FoundEvent{device});
            reported = true;
        }
    };
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(plan.waitMs);
    auto nextRound = deadline;
    if (plan.answers.empty()) {
        link.SendDiscovery();
        nextRound = start + DiscoveryRound;
    }
    for (const auto& answer : plan.answers)
        take(answer);
    while (!check.Settled()) {
        const bool searching = !check.Found();
        const auto record = link.Next(searching ? std::min(deadline, nextRound) : deadline, plan.stopFd);
        if (StopAsked(plan)) return Stopped;
        if (record) {
            take(*record);
            continue;
        }
        const auto now = Clock::now();
        if (now >= deadline) break;
        if (searching && now >= nextRound && plan.answers.empty()) {
            link.SendDiscovery();
            nextRound = now + DiscoveryRound;
        }
    }
    if (const auto* device = claims.Find(plan.ip); device != nullptr && !device->conflicts.empty())
        return {Result::AddressConflict, ConflictText(*device) + "; nothing was written"};
    switch (check.state()) {
    case State::Searching: return {Result::NoDevice, upgrade::text::NoDevice};
    case State::Asked:
        return {Result::PasswordTimeout,
                "The device gave no password answer within " + std::to_string(plan.waitMs) + " ms"};
    case State::Refused: return {Result::PasswordRefused, upgrade::text::InvalidPassword};
    case State::Accepted: break;
    }
    sink(AcceptedEvent{});
    return {Result::Done, {}};
}

// With the reliable uploads (a window, retransmission, a locked peer): the sender returns
// only once the device acknowledged the last block.
Outcome Upload(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink)
{
    using How = upgrade::TransferEnd::How;
    tftp::SenderReport report;
    auto reported = Clock::now();
    const auto progress = [&](int64_t bytes) {
        const auto now = Clock::now();
        if (static_cast<uint64_t>(bytes) == image.Size() || now - reported >= std::chrono::milliseconds(100)) {
            reported = now;
            sink(ProgressEvent{static_cast<uint64_t>(bytes)});
        }
    };
    upgrade::TransferEnd end;
    std::string failure;
    try {
        tftp::SenderOptions options;
        options.host = plan.ip;
        options.port = static_cast<uint16_t>(plan.tftpPort);
        options.timeoutMs = plan.timeoutMs;
        options.policy.blockSize = plan.blockSize;
        options.policy.windowSize = plan.windowSize;
        tftp::SendFile(image.Descriptor(), static_cast<int64_t>(image.Size()), upgrade::FirmwareTarget, options,
                       report, progress);
        end = {How::Returned, true};
    } catch (...) {
        using Kind = tftp::FailureKind;
        const tftp::Failure caught = tftp::CaughtFailure();
        end.how = caught.kind == Kind::Timeout ? How::TimedOut
                  : caught.kind == Kind::Local ? How::OtherFailure
                                               : How::TftpFailure;
        // What the device sent is in its code page; a local failure is our own text.
        failure = caught.kind == Kind::Local ? OneLine(caught.message) : DisplayText(OneLine(caught.message));
    }
    const auto verdict = upgrade::JudgeTransfer(upgrade::Policy::Tool, end, failure);
    Outcome outcome{verdict.result, verdict.message};
    outcome.bytes = static_cast<uint64_t>(report.acknowledgedBytes);
    outcome.windowSize = report.windowSize;
    outcome.retransmissions = report.retransmissions;
    return outcome;
}

// Rediscovers the device until it answers again or the time is up.
void WaitBack(const JobPlan& plan, DeviceLink& link, const JobSink& sink)
{
    sink(WaitingBackEvent{plan.waitBackS});
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(plan.waitBackS);
    // Answers still queued from the check came before the restart.
    while (link.Next(Clock::now()))
        ;
    while (Clock::now() < end) {
        link.SendDiscovery();
        const auto round = std::min(end, Clock::now() + std::chrono::milliseconds(500));
        while (const auto record = link.Next(round)) {
            if (upgrade::AnswersFrom(*record, plan.ip)) {
                sink(BackEvent{std::chrono::duration<double>(Clock::now() - start).count()});
                return;
            }
        }
    }
    sink(NotBackEvent{});
}

} // namespace

void RunDeviceJob(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink)
{
    Outcome outcome;
    try {
        if (StopAsked(plan)) {
            outcome = Stopped;
        } else {
            posix::ClearNeighbourEntry(plan.ip);
            DeviceLink link;
            uint64_t drops = 0;
            outcome = CheckPassword(plan, link, sink);
            ReportDrops(link, drops, sink);
            if (outcome.result == Result::Done) {
                if (plan.dryRun) {
                    outcome = {Result::WouldUpgrade, upgrade::text::DryRunAccepted};
                } else if (StopAsked(plan)) {
                    outcome = Stopped;
                } else {
                    outcome = Upload(plan, image, sink);
                    if (outcome.result == Result::Done && plan.waitBackS > 0) WaitBack(plan, link, sink);
                    ReportDrops(link, drops, sink);
                }
            }
        }
    } catch (const std::exception& e) {
        outcome = {Result::LocalError, SafeText(e.what()), outcome.bytes};
    }
    sink(ResultEvent{outcome.result, outcome.message, outcome.bytes, outcome.windowSize, outcome.retransmissions});
}

} // namespace fleet
