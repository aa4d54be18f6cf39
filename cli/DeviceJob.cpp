#include "DeviceJob.h"

#include "DeviceLink.h"
#include "IdTFTPException.h"
#include "Image.h"
#include "NeighbourCache.h"
#include "TftpSender.h"

#include "DeviceFrames.h"

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
    fleet::PasswordCheck check(plan.ip, plan.password);
    link.SendDiscovery();
    const auto deadline = Clock::now() + std::chrono::milliseconds(plan.waitMs);
    bool reported = false;
    while (!check.Settled()) {
        const auto record = link.Next(deadline);
        if (!record) break;
        for (const auto& frame : check.OnRecord(*record))
            link.Send(frame);
        if (!reported && check.state() != fleet::PasswordCheck::State::Searching) {
            sink({{"e", "found"}, {"device", DeviceJson(check.device())}});
            reported = true;
        }
    }
    switch (check.state()) {
    case fleet::PasswordCheck::State::Searching: return {Result::NoDevice, "There is no KR730 connected!"};
    case fleet::PasswordCheck::State::Asked:
        return {Result::PasswordTimeout,
                "The device gave no password answer within " + std::to_string(plan.waitMs) + " ms"};
    case fleet::PasswordCheck::State::Refused: return {Result::PasswordRefused, "Invalid Password !"};
    case fleet::PasswordCheck::State::Accepted: break;
    }
    sink({{"e", "accepted"}});
    return {Result::Done, {}};
}

// With the reliable uploads (a window, retransmission, a locked peer): done only when the
// device acknowledged the last block.
Outcome Upload(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink)
{
    tftp::SenderReport report;
    auto reported = Clock::now();
    const auto progress = [&](int64_t bytes) {
        const auto now = Clock::now();
        if (static_cast<uint64_t>(bytes) == image.Size() || now - reported >= std::chrono::milliseconds(100)) {
            reported = now;
            sink({{"e", "progress"}, {"bytes", bytes}});
        }
    };
    Outcome outcome;
    try {
        tftp::SenderOptions options;
        options.host = plan.ip;
        options.port = static_cast<uint16_t>(plan.tftpPort);
        options.timeoutMs = plan.timeoutMs;
        options.policy.blockSize = plan.blockSize;
        options.policy.windowSize = plan.windowSize;
        tftp::SendFile(image.Descriptor(), static_cast<int64_t>(image.Size()), "/", options, report, progress);
        outcome = {Result::Done, "Finished"};
    } catch (const EIdTFTPException& e) {
        // A time-out: no answer within the tries; anything else the device said or sent.
        const bool timedOut = e.ServerCode() < 0 && e.Message() == "Timeout";
        outcome = {timedOut ? Result::Timeout : Result::TftpError, fleet::DisplayText(OneLine(e.Message()))};
    } catch (const Exception& e) {
        outcome = {Result::LocalError, OneLine(e.Message())};
    } catch (const std::exception& e) {
        outcome = {Result::LocalError, e.what()};
    }
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
            const uint8_t protocol = DeviceFrames::ReplyProtocol(*record);
            if ((protocol == DeviceFrames::ApdpDiscovery || protocol == DeviceFrames::ApdpDiscoveryV4) &&
                DeviceFrames::ReplyIpText(*record) == plan.ip) {
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
                outcome = {Result::WouldUpgrade, "Password accepted (dry run: nothing written)"};
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
