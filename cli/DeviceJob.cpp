#include "DeviceJob.h"

#include "DeviceLink.h"
#include "IdTrivialFTP.h"
#include "Image.h"
#include "NeighbourCache.h"

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

Outcome Upload(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink)
{
    Outcome outcome;
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
        tftp.UploadStream(*stream, "/");
        // The client also ends normally when the last block's acknowledgement never came;
        // the device may then lack the end of the image, so that is no success.
        if (tftp.ReplyHost().empty())
            return {Result::Timeout, "Timeout: the device did not acknowledge the last block", sent};
        return {Result::Done, "Finished", sent};
    } catch (const EIdTFTPException& e) {
        // A time-out leaves no sender behind; an ERROR packet names the device.
        const bool timedOut = client->ReplyHost().empty();
        outcome = {timedOut ? Result::Timeout : Result::TftpError, fleet::DisplayText(OneLine(e.Message())), sent};
    } catch (const Exception& e) {
        outcome = {Result::LocalError, OneLine(e.Message()), sent};
    } catch (const std::exception& e) {
        outcome = {Result::LocalError, e.what(), sent};
    }
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
          {"bytes", outcome.bytes}});
}
