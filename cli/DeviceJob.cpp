#include "cli/DeviceJob.h"

#include "cli/DeviceLink.h"
#include "tftp/IdTFTPException.h"
#include "cli/Image.h"
#include "cli/RateShare.h"
#include "cli/RestartWatch.h"
#include "cli/Trace.h"
#include "posix/NeighbourCache.h"
#include "posix/NeighbourPin.h"
#include "tftp/TftpSender.h"

#include "upgrade/DeviceCheck.h"
#include "upgrade/TransferVerdict.h"
#include "rtl/SafeText.h"
#include "devmsg/wire/DeviceFrames.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
    Result result = Result::LocalError;
    std::string message;
    tftp::TransferStats transfer = {};
    std::string mac = {}; // of the device that took the password
};

// A discovery request or its answers get lost on a busy network: ask again this often.
constexpr auto DiscoveryRound = std::chrono::milliseconds(250);

bool StopAsked(const JobPlan& plan)
{
    if (plan.stopFd < 0) return false;
    pollfd fd{plan.stopFd, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

// Every place that looks is before the write: a stop never cuts one short here.
const Outcome Stopped{Result::Interrupted, "Stopped before the image was sent; nothing was written"};

void ReportDrops(DeviceLink& link, uint64_t& reported, const JobSink& sink)
{
    if (link.Dropped() == reported) return;
    sink(DroppedEvent{link.Dropped() - reported});
    reported = link.Dropped();
}

// Discovery (unless the fleet's shared one found the device) and password check; Done when
// the password was accepted. A discovery of its own waits a short while after the device's
// first answer before it asks: the request goes to the hardware address, so another address
// answering from the same one must be seen first. The fleet's shared discovery did that wait.
class PasswordCheck {
public:
    PasswordCheck(const JobPlan& plan, DeviceLink& link, const JobSink& sink)
        : plan_(plan), link_(link), sink_(sink), own_(plan.answers.empty())
    {}

    Outcome Run()
    {
        const auto start = Clock::now();
        deadline_ = start + std::chrono::milliseconds(plan_.waitMs);
        nextRound_ = deadline_;
        if (own_) {
            link_.SendDiscovery();
            nextRound_ = start + DiscoveryRound;
        }
        for (const auto& answer : plan_.answers)
            Take(answer);
        if (!own_) {
            if (auto refused = CannotTellApart()) return *refused;
            StartAsking();
        }
        if (!Wait()) return Stopped;
        // An answer that came after the request still keeps the image from them.
        if (auto refused = CannotTellApart()) return *refused;
        return Verdict();
    }

private:
    // Until the check settles or the time is up; false when a stop came.
    bool Wait()
    {
        const auto quiet = std::chrono::milliseconds(std::min(200, plan_.waitMs / 4));
        std::optional<Clock::time_point> askAt;
        while (!check_.Settled()) {
            if (!asking_ && claims_.Find(plan_.ip) != nullptr) {
                if (!askAt) askAt = std::min(deadline_, Clock::now() + quiet);
                if (Clock::now() >= *askAt) {
                    if (CannotTellApart()) return true;
                    StartAsking();
                    continue;
                }
            }
            const bool searching = !check_.Found();
            auto until = searching ? std::min(deadline_, nextRound_) : deadline_;
            if (askAt && !asking_) until = std::min(until, *askAt);
            const auto record = link_.Next(until, plan_.stopFd);
            if (StopAsked(plan_)) return false;
            if (record) {
                Take(*record);
                continue;
            }
            const auto now = Clock::now();
            if (askAt && !asking_ && now >= *askAt) continue;
            if (now >= deadline_) break;
            if (searching && now >= nextRound_ && own_) {
                link_.SendDiscovery();
                nextRound_ = now + DiscoveryRound;
            }
        }
        return true;
    }

    void Feed(const std::vector<uint8_t>& record)
    {
        const auto step = check_.OnReply(record, plan_.ip, plan_.password);
        for (const auto& frame : step.send)
            link_.Send(frame);
        if (step.stray) {
            // A line of its own on the event pipe: the parent shows and logs it as a note.
            std::fprintf(stderr, "ignored a password answer from %s (%s): not the device that was found\n",
                         rtl::SafeText(devmsg::frames::ReplyIpText(record)).c_str(), MacText(record).c_str());
            std::fflush(stderr);
        }
        if (!reported_ && check_.Found()) {
            DeviceEntry device = DeviceFromAnswer(check_.FirstAnswer());
            device.protocols = check_.Forms();
            sink_(FoundEvent{device});
            reported_ = true;
        }
    }

    void Take(const std::vector<uint8_t>& record)
    {
        claims_.Add(record);
        if (asking_ || !devmsg::frames::IsDiscoveryAnswer(record)) Feed(record);
    }

    void StartAsking()
    {
        asking_ = true;
        for (const auto& answer : claims_.Answers(plan_.ip))
            Feed(answer);
    }

    // Devices that cannot be told apart, or that the image is not for, are never asked, nor written.
    std::optional<Outcome> CannotTellApart() const
    {
        const DeviceEntry* device = claims_.Find(plan_.ip);
        if (device == nullptr) return std::nullopt;
        if (!device->conflicts.empty())
            return Outcome{Result::AddressConflict, ConflictText(*device) + "; nothing was written"};
        if (const auto others = claims_.SameMac(plan_.ip); !others.empty())
            return Outcome{Result::DuplicateMac, DuplicateMacText(*device, others)};
        if (auto wrong = WrongModelText(*device, plan_.models)) return Outcome{Result::WrongModel, *wrong};
        return std::nullopt;
    }

    Outcome Verdict()
    {
        using State = upgrade::DeviceCheck::State;
        switch (check_.state()) {
        case State::Searching: return {Result::NoDevice, upgrade::text::NoDevice};
        case State::Asked:
            return {Result::PasswordTimeout,
                    "The device gave no password answer within " + std::to_string(plan_.waitMs) + " ms"};
        case State::Refused: return {Result::PasswordRefused, upgrade::text::InvalidPassword};
        case State::Accepted: break;
        }
        sink_(AcceptedEvent{});
        Outcome accepted{Result::Done, {}};
        accepted.mac = MacText(check_.FirstAnswer());
        return accepted;
    }

    const JobPlan& plan_;
    DeviceLink& link_;
    const JobSink& sink_;
    const bool own_; // no answers from the fleet's discovery: discovers on its own
    upgrade::DeviceCheck check_{upgrade::Policy::Tool};
    DeviceTable claims_; // every answer: who claims the address, who shares its hardware address
    bool asking_ = false;
    bool reported_ = false;
    Clock::time_point deadline_;
    Clock::time_point nextRound_;
};

Outcome CheckPassword(const JobPlan& plan, DeviceLink& link, const JobSink& sink)
{
    return PasswordCheck(plan, link, sink).Run();
}

// With the reliable uploads (a window, retransmission, a locked peer): the sender returns
// only once the device acknowledged the last block.
Outcome Upload(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink)
{
    tftp::TransferStats report;
    auto reported = Clock::now();
    const auto progress = [&](int64_t bytes) {
        const auto now = Clock::now();
        if (static_cast<uint64_t>(bytes) == image.Size() || now - reported >= std::chrono::milliseconds(100)) {
            reported = now;
            sink(ProgressEvent{static_cast<uint64_t>(bytes)});
        }
    };
    upgrade::TransferVerdict verdict;
    try {
        tftp::SenderOptions options;
        options.host = plan.ip;
        options.port = static_cast<uint16_t>(plan.tftpPort);
        options.timeoutMs = plan.timeoutMs;
        options.policy.blockSize = plan.blockSize;
        options.policy.windowSize = plan.windowSize;
        options.policy.tries = upgrade::Tries;
        if (ProcessTrace* trace = ProcessTrace::Current()) options.observer = trace->Observer();
        if (plan.rate) {
            plan.rate->Begin(plan.rateSlot);
            options.maxRateBitsPerSecond = [&plan] { return plan.rate->Share(); };
        }
        tftp::SendFile(image.Descriptor(), static_cast<int64_t>(image.Size()), upgrade::FirmwareTarget, options,
                       report, progress);
        if (plan.rate) plan.rate->End(plan.rateSlot);
        verdict = upgrade::JudgeTransfer(upgrade::Policy::Tool,
                                         {upgrade::TransferEnd::How::Returned, report.acknowledged});
    } catch (...) {
        if (plan.rate) plan.rate->End(plan.rateSlot);
        const tftp::Failure caught = tftp::CaughtFailure();
        // What the device sent is in its code page; a local failure is our own text.
        const std::string text = caught.kind == tftp::FailureKind::Local
                                     ? rtl::OneLine(caught.message)
                                     : rtl::DisplayText(rtl::OneLine(caught.message));
        // A device may restart the moment it has the last block, before it acknowledges it:
        // that is unconfirmed, and writing it again would meet it while it writes flash.
        verdict = upgrade::JudgeFailure(upgrade::Policy::Tool, caught.kind, report.lastBlockSent, text);
    }
    Outcome outcome{verdict.result, verdict.message, report};
    if (outcome.result == Result::Unconfirmed) outcome.message += "; not written again";
    return outcome;
}

// Rediscovers the device until it restarted (fell silent, then answered again) or the time
// is up; a round at a time, so that a restart of a second is seen.
RestartWatch WaitBack(const JobPlan& plan, DeviceLink& link, const std::string& mac, const JobSink& sink)
{
    sink(WaitingBackEvent{plan.waitBackS});
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(plan.waitBackS);
    const auto since = [start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };
    // Answers still queued from the check came before the image.
    while (link.Next(Clock::now()))
        ;
    RestartWatch watch(mac);
    while (!watch.Settled() && Clock::now() < end && !StopAsked(plan)) {
        const uint64_t dropped = link.Dropped();
        link.SendDiscovery();
        const auto roundEnd = std::min(end, Clock::now() + std::chrono::milliseconds(RestartWatch::RoundMs));
        while (const auto record = link.Next(roundEnd, plan.stopFd)) {
            if (upgrade::AnswersFrom(*record, plan.ip)) watch.Answer(MacText(*record), since());
            if (watch.Settled()) break;
        }
        const bool wasUp = watch.state() == RestartWatch::State::Up;
        watch.EndRound(link.Dropped() != dropped);
        if (wasUp && watch.state() == RestartWatch::State::Silent)
            sink(SilentEvent{static_cast<double>(watch.LastAnswerMs()) / 1000.0});
    }
    if (watch.state() == RestartWatch::State::Back)
        sink(BackEvent{static_cast<double>(watch.BackMs()) / 1000.0});
    else if (!StopAsked(plan))
        sink(NotBackEvent{});
    return watch;
}

// What the wait showed, in the outcome of a written device.
void JudgeWrite(const JobPlan& plan, const RestartWatch* watch, const std::string& mac, Outcome& outcome)
{
    using State = RestartWatch::State;
    const bool confirmed = outcome.result == Result::Done;
    outcome.result = AfterWrite(confirmed, watch != nullptr, watch ? watch->state() : State::Up);
    switch (outcome.result) {
    case Result::NotRestarted:
        outcome.message = "the device kept answering for all of --wait-back " + std::to_string(plan.waitBackS) +
                          " s after its image: it did not restart";
        break;
    case Result::AddressChanged:
        outcome.message = "after the image, " + watch->OtherMac() + " answered for the address instead of " + mac +
                          ", the device that was checked";
        break;
    case Result::Unconfirmed:
        // The tries for the last ACK take a while: a quick restart may have passed meanwhile.
        if (watch && watch->state() == State::Up)
            outcome.message += "; it answers again, but no restart was seen after the tries";
        break;
    case Result::BackUnconfirmed:
        outcome.message =
            "the device restarted and came back, but its last block was never acknowledged: check "
            "that it runs the new image";
        break;
    default: break;
    }
}

// Writes the image with the address tied to the checked hardware address where that is
// allowed; the parent removes a pin this process could not (it was killed).
Outcome PinnedUpload(const JobPlan& plan, const FirmwareImage& image, const std::string& mac, const JobSink& sink)
{
    std::optional<posix::NeighbourPin> pin;
    if (plan.pin) {
        if (const auto dev = posix::NeighbourInterface(plan.ip)) {
            // Told first: killed a moment later, this process leaves the parent to remove it.
            sink(PinnedEvent{*dev, mac});
            pin.emplace(plan.ip, mac, *dev);
        }
    }
    Outcome outcome = Upload(plan, image, sink);
    if (pin) {
        pin->Release();
        sink(UnpinnedEvent{});
    }
    return outcome;
}

} // namespace

void RunDeviceJob(const JobPlan& plan, const FirmwareImage& image, const JobSink& sink)
{
    Outcome outcome;
    try {
        std::optional<ProcessTrace> trace;
        if (!plan.traceDir.empty()) trace.emplace(DeviceTraceFile(plan.traceDir, plan.ip));
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
                    const std::string mac = outcome.mac;
                    outcome = PinnedUpload(plan, image, mac, sink);
                    if (outcome.result == Result::Done || outcome.result == Result::Unconfirmed) {
                        std::optional<RestartWatch> watch;
                        if (plan.waitBackS > 0) watch = WaitBack(plan, link, mac, sink);
                        // A stop ended the wait before it showed anything: judged as without one.
                        const bool stopped = watch && !watch->Settled() && StopAsked(plan);
                        JudgeWrite(plan, watch && !stopped ? &*watch : nullptr, mac, outcome);
                        if (stopped) outcome.message += "; the wait for its restart was stopped";
                    }
                    ReportDrops(link, drops, sink);
                }
            }
        }
    } catch (const std::exception& e) {
        outcome.result = Result::LocalError;
        outcome.message = rtl::SafeText(e.what());
    }
    sink(ResultEvent{outcome.result, outcome.message, outcome.transfer});
}

} // namespace fleet
