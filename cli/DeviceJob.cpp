#include "DeviceJob.h"

#include "DeviceLink.h"
#include "IdTFTPException.h"
#include "Image.h"
#include "NeighbourCache.h"
#include "TftpSender.h"

#include "DeviceCheck.h"
#include "TransferVerdict.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;
using fleet::Result;

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

nlohmann::json DeviceJson(const fleet::DeviceEntry& device)
{
    return {{"mac", device.mac}, {"name", device.name}, {"protocols", device.protocols}};
}

// Discovery and password check; Done when the password was accepted.
Outcome CheckPassword(const JobPlan& plan, DeviceLink& link, const JobSink& sink)
{
    using State = upgrade::DeviceCheck::State;
    upgrade::DeviceCheck check(upgrade::Policy::Tool);
    link.SendDiscovery();
    const auto deadline = Clock::now() + std::chrono::milliseconds(plan.waitMs);
    bool reported = false;
    while (!check.Settled()) {
        const auto record = link.Next(deadline);
        if (!record) break;
        for (const auto& frame : check.OnReply(*record, plan.ip, plan.password).send)
            link.Send(frame);
        if (!reported && check.Found()) {
            fleet::DeviceEntry device = fleet::DeviceFromAnswer(check.FirstAnswer());
            device.protocols = check.Forms();
            sink({{"e", "found"}, {"device", DeviceJson(device)}});
            reported = true;
        }
    }
    switch (check.state()) {
    case State::Searching: return {Result::NoDevice, upgrade::text::NoDevice};
    case State::Asked:
        return {Result::PasswordTimeout,
                "The device gave no password answer within " + std::to_string(plan.waitMs) + " ms"};
    case State::Refused: return {Result::PasswordRefused, upgrade::text::InvalidPassword};
    case State::Accepted: break;
    }
    sink({{"e", "accepted"}});
    return {Result::Done, {}};
}

Result FromVerdict(upgrade::TransferResult result)
{
    switch (result) {
    case upgrade::TransferResult::Done: return Result::Done;
    case upgrade::TransferResult::Timeout: return Result::Timeout;
    case upgrade::TransferResult::TftpError: return Result::TftpError;
    case upgrade::TransferResult::LocalError: break;
    }
    return Result::LocalError;
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
            sink({{"e", "progress"}, {"bytes", bytes}});
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
        end = {How::Returned, true, true};
    } catch (const EIdTFTPException& e) {
        // A time-out: no answer within the tries; anything else the device said or sent.
        const bool timedOut = e.ServerCode() < 0 && e.Message() == "Timeout";
        end = {How::TftpFailure, !timedOut, false};
        failure = fleet::DisplayText(OneLine(e.Message()));
    } catch (const Exception& e) {
        end = {How::OtherFailure};
        failure = OneLine(e.Message());
    } catch (const std::exception& e) {
        end = {How::OtherFailure};
        failure = e.what();
    }
    const auto verdict = upgrade::JudgeTransfer(upgrade::Policy::Tool, end, failure);
    Outcome outcome{FromVerdict(verdict.result), verdict.message};
    outcome.bytes = static_cast<uint64_t>(report.acknowledgedBytes);
    outcome.windowSize = report.windowSize;
    outcome.retransmissions = report.retransmissions;
    return outcome;
}

// Rediscovers the device until it answers again or the time is up.
void WaitBack(const JobPlan& plan, DeviceLink& link, const JobSink& sink)
{
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
                sink({{"e", "back"}, {"seconds", std::chrono::duration<double>(Clock::now() - start).count()}});
                return;
            }
        }
    }
    sink({{"e", "not-back"}});
}

} // namespace

void RunDeviceJob(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink)
{
    Outcome outcome;
    try {
        ClearNeighbourEntry(plan.ip);
        DeviceLink link;
        outcome = CheckPassword(plan, link, sink);
        if (outcome.result == Result::Done) {
            if (plan.dryRun) {
                outcome = {Result::WouldUpgrade, upgrade::text::DryRunAccepted};
            } else {
                outcome = Upload(plan, image, sink);
                if (outcome.result == Result::Done && plan.waitBackS > 0) WaitBack(plan, link, sink);
            }
        }
    } catch (const std::exception& e) {
        outcome = {Result::LocalError, e.what(), outcome.bytes};
    }
    sink({{"e", "result"},
          {"result", fleet::ResultName(outcome.result)},
          {"message", outcome.message},
          {"bytes", outcome.bytes},
          {"windowsize", outcome.windowSize},
          {"retransmissions", outcome.retransmissions}});
}
