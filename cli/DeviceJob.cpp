#include "DeviceJob.h"

#include "DeviceLink.h"
#include "IdTrivialFTP.h"
#include "Image.h"
#include "NeighbourCache.h"

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

Outcome Judged(upgrade::TransferEnd end, std::string_view failureText, uint64_t sent)
{
    const auto verdict = upgrade::JudgeTransfer(upgrade::Policy::Tool, end, failureText);
    return {FromVerdict(verdict.result), verdict.message, sent};
}

Outcome Upload(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink)
{
    using How = upgrade::TransferEnd::How;
    uint64_t sent = 0;
    std::optional<TIdTrivialFTP> client;
    try {
        TIdTrivialFTP& tftp = client.emplace();
        tftp.SetHost(plan.ip);
        tftp.SetPort(plan.tftpPort);
        tftp.SetReceiveTimeout(plan.timeoutMs);
        tftp.SetRequestedBlockSize(plan.blockSize);
        tftp.SetTransferMode(tfOctet);
        int32_t last = 0;
        auto reported = Clock::now();
        tftp.OnWork = [&](TIdComponent*, TWorkMode, int32_t count) {
            // The running count is 32 bits wide: follow it by differences.
            sent += static_cast<uint32_t>(count) - static_cast<uint32_t>(last);
            last = count;
            const auto now = Clock::now();
            if (sent == image.Size() || now - reported >= std::chrono::milliseconds(100)) {
                reported = now;
                sink({{"e", "progress"}, {"bytes", sent}});
            }
        };
        const auto stream = image.OpenStream();
        tftp.UploadStream(*stream, upgrade::FirmwareTarget);
        // A normal end after a time-out leaves no sender behind: the last block went
        // unacknowledged.
        const bool acknowledged = !tftp.ReplyHost().empty();
        return Judged({How::Returned, acknowledged, acknowledged}, {}, sent);
    } catch (const EIdTFTPException& e) {
        return Judged({How::TftpFailure, !client->ReplyHost().empty(), false},
                      fleet::DisplayText(OneLine(e.Message())), sent);
    } catch (const Exception& e) {
        return Judged({How::OtherFailure}, OneLine(e.Message()), sent);
    } catch (const std::exception& e) {
        return Judged({How::OtherFailure}, e.what(), sent);
    }
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
          {"bytes", outcome.bytes}});
}
