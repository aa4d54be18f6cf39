#include "cli/Fleet.h"

#include "cli/Image.h"
#include "cli/JobEvents.h"
#include "cli/Outcome.h"
#include "cli/RateShare.h"
#include "cli/RolloutGate.h"
#include "cli/Units.h"
#include "posix/Fd.h"
#include "posix/NeighbourPin.h"
#include "rtl/SafeText.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;

// How long stopped attempts may take to end before they are killed.
constexpr auto StopGrace = std::chrono::milliseconds(300);

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Child {
    size_t index = 0;
    posix::Fd fd; // read end of the child's event pipe (its stderr too)
    LineReader lines;
    bool gotResult = false;
    bool waitingBack = false; // the image is in; the device restarts
    Clock::time_point attemptStart;
    std::optional<Clock::time_point> transferStart;
    std::string pinnedOn; // the interface the attempt pinned the device's address on, until it unpinned
    bool imageIn = false; // its last block was acknowledged
    size_t rateSlot = 0;  // in the rate cap's share
};

// How often a report that is always current is written while devices run.
constexpr auto CheckpointEvery = std::chrono::seconds(1);

[[noreturn]] void RunChild(const JobPlan& plan, const FirmwareImage& image, int writeFd, pid_t parent,
                           fleet::FleetStop& stop)
{
    // A process group of its own: the terminal's Ctrl-C goes to the parent only, which
    // decides about every child. The signals are still blocked here, as in the parent:
    // ignoring the terminal's ones before they are let through again drops any that came.
    ::setpgid(0, 0);
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGQUIT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGWINCH, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    // A parent that dies (even by SIGKILL) takes its transfers with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    stop.ReleaseInChild();
    // The library's own notes come along as plain lines between the events.
    ::dup2(writeFd, STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
    }
    RunDeviceJob(plan, image, [writeFd](const JobEvent& event) {
        const std::string line = EncodeEvent(event);
        posix::WriteAll(writeFd, line.data(), line.size());
    });
    ::_exit(0);
}

class Scheduler {
public:
    Scheduler(const FleetOptions& opts, const FirmwareImage& image, FleetView& view, fleet::FleetStop& stop)
        : opts_(opts), image_(image), view_(view), gate_(opts.canary, opts.maxFailures), stop_(stop)
    {
        reports_.resize(opts.targets.size());
        settled_.resize(opts.targets.size(), false);
        firstStart_.resize(opts.targets.size(), Clock::now());
        position_.resize(opts.targets.size());
        size_t startable = 0;
        for (size_t i = 0; i < opts.targets.size(); ++i) {
            reports_[i].ip = opts.targets[i].ip;
            reports_[i].label = opts.targets[i].label;
            if (!opts.targets[i].alreadyDone.empty()) {
                reports_[i].result = Result::AlreadyDone;
                reports_[i].message = opts.targets[i].alreadyDone;
                continue;
            }
            position_[i] = startable++;
            queue_.push_back(i);
        }
    }

    // True when a stop came.
    bool Run()
    {
        for (const auto& report : reports_)
            if (report.result == Result::AlreadyDone) view_.Finished(report);
        Checkpoint();
        auto lastTick = Clock::now();
        while (!queue_.empty() || !children_.empty()) {
            // Asked before every start: no attempt begins once a stop came.
            while (children_.size() < static_cast<size_t>(opts_.jobs) && !TakeSignals()) {
                // A retry always may go on; a device not yet started waits for the gate.
                const auto next = std::find_if(queue_.begin(), queue_.end(), [this](size_t index) {
                    return reports_[index].attempts > 0 || gate_.MayStart(position_[index]);
                });
                if (next == queue_.end()) break;
                const size_t index = *next;
                queue_.erase(next);
                Spawn(index);
            }
            std::vector<pollfd> fds;
            fds.push_back({stop_.Fd(), POLLIN, 0});
            for (const auto& [pid, child] : children_)
                fds.push_back({child.fd.Get(), POLLIN, 0});
            const int ready = ::poll(fds.data(), fds.size(), 100);
            if (ready < 0 && errno != EINTR) break;
            TakeSignals();
            if (stop_.Level() == fleet::StopLevel::Aborting) {
                Abort();
                return true;
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents != 0) Drain(fds[i].fd);
            }
            if (Clock::now() - lastTick >= std::chrono::milliseconds(100)) {
                lastTick = Clock::now();
                view_.Tick();
            }
            if (changed_ && Clock::now() - lastCheckpoint_ >= CheckpointEvery) Checkpoint();
        }
        if (stop_.Asked()) EndUnstarted();
        return stop_.Asked();
    }

    std::vector<DeviceReport> Reports() const { return reports_; }

private:
    // Every device as it would be reported if the host died now.
    std::vector<DeviceReport> Snapshot() const
    {
        std::vector<DeviceReport> devices = reports_;
        for (size_t i = 0; i < devices.size(); ++i)
            if (!settled_[i] && devices[i].result == Result::Interrupted)
                devices[i].message = devices[i].attempts > 0
                                         ? "Waiting for another attempt when this report was written"
                                         : "Not started when this report was written";
        for (const auto& [pid, child] : children_) {
            DeviceReport& d = devices[child.index];
            if (settled_[child.index]) continue;
            if (child.imageIn) {
                d.result = Result::Done;
                d.message = "The image is in (its last block was acknowledged)";
                if (child.waitingBack)
                    d.message += "; the wait for its restart was under way when this report was written";
            } else if (child.transferStart) {
                d.result = Result::Interrupted;
                d.message =
                    "Writing when this report was written: " + std::to_string(d.transfer.acknowledgedBytes) +
                    " of " + std::to_string(image_.Size()) +
                    " bytes acknowledged; the device may hold part of the image";
            } else {
                d.message = "Being checked when this report was written; nothing written yet";
            }
        }
        return devices;
    }

    void Checkpoint()
    {
        changed_ = false;
        lastCheckpoint_ = Clock::now();
        if (opts_.checkpoint) opts_.checkpoint(Snapshot());
    }

    double RunMs() const
    {
        return std::chrono::duration<double, std::milli>(Clock::now() - opts_.runStart).count();
    }
    void EndStage(DeviceReport& report) const
    {
        if (!report.stages.empty() && report.stages.back().endMs < 0) report.stages.back().endMs = RunMs();
    }
    void BeginStage(DeviceReport& report, Stage stage) const
    {
        EndStage(report);
        report.stages.push_back({stage, RunMs(), -1});
    }

    // Reads the signals that came; true once a stop was asked for.
    bool TakeSignals()
    {
        stop_.Take();
        if (stop_.TakeResize()) view_.Resized();
        // The stop may have come before the fleet started (during its discovery).
        if (stop_.Asked() && !finishing_) Finishing();
        return stop_.Asked();
    }

    // The first stage of a stop: nothing new starts, running transfers finish.
    void Finishing()
    {
        finishing_ = true;
        queue_.clear();
        size_t writing = 0;
        for (const auto& [pid, child] : children_)
            if (child.transferStart && !child.waitingBack) ++writing;
        const size_t others = children_.size() - writing;
        std::string text = "stopping: no further device starts";
        if (writing > 0)
            text += "; " + std::to_string(writing) +
                    (writing == 1 ? " running transfer finishes" : " running transfers finish") +
                    " (Ctrl-C again aborts " + (writing == 1 ? "it" : "them") + ", leaving part of an image)";
        if (others > 0)
            text += "; " + std::to_string(others) + (others == 1 ? " device" : " devices") + " not writing end" +
                    (others == 1 ? "s" : "") + " now";
        view_.Say(text);
    }

    void Spawn(size_t index)
    {
        DeviceReport& report = reports_[index];
        JobPlan plan = opts_.job;
        plan.ip = report.ip;
        if (opts_.targets[index].password) plan.password = *opts_.targets[index].password;
        plan.stopFd = stop_.ChildFd();
        const size_t slot = TakeSlot();
        plan.rateSlot = slot;
        if (report.attempts == 0 && opts_.discovery) {
            if (const auto* entry = opts_.discovery->Find(report.ip)) {
                report.device = *entry;
                report.device->conflicts.clear();
                if (!entry->conflicts.empty()) {
                    Finish(index, Result::AddressConflict, ConflictText(*entry) + "; nothing was written");
                    return;
                }
                if (const auto others = opts_.discovery->SameMac(report.ip); !others.empty()) {
                    Finish(index, Result::DuplicateMac, DuplicateMacText(*entry, others));
                    return;
                }
                if (auto wrong = WrongModelText(*entry, plan.models)) {
                    Finish(index, Result::WrongModel, *wrong);
                    return;
                }
                plan.answers = opts_.discovery->Answers(report.ip);
            }
        }
        ++report.attempts;
        if (report.attempts == 1) firstStart_[index] = Clock::now();
        report.transfer = {};
        report.transferSeconds = 0;
        report.silentSeconds.reset();
        view_.Attempt(report);
        BeginStage(report, Stage::Check);

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            Finish(index, Result::LocalError,
                   std::string("cannot start the attempt: pipe: ") + std::strerror(errno));
            return;
        }
        posix::Fd readEnd(fds[0]), writeEnd(fds[1]);
        std::fflush(nullptr);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            readEnd.Reset();
            RunChild(plan, image_, writeEnd.Get(), parent, stop_);
        }
        if (pid > 0) ::setpgid(pid, pid); // either side may be first
        // Only the child may hold the write end: its exit is the pipe's end.
        writeEnd.Reset();
        if (pid < 0) {
            Finish(index, Result::LocalError,
                   std::string("cannot start the attempt: fork: ") + std::strerror(errno));
            return;
        }
        Child child;
        child.index = index;
        child.rateSlot = slot;
        slotUsed_[slot] = true;
        child.fd = std::move(readEnd);
        child.attemptStart = Clock::now();
        children_.emplace(pid, std::move(child));
    }

    // Reads what one child wrote; at the end of its pipe, collects the child.
    void Drain(int fd)
    {
        auto it = children_.begin();
        while (it != children_.end() && it->second.fd.Get() != fd)
            ++it;
        if (it == children_.end()) return;
        if (Read(it->second)) return;
        Reap(it->first, it->second);
        children_.erase(it);
    }

    // Handles what one read brings; false at the end of the pipe.
    bool Read(Child& child)
    {
        char buffer[4096];
        const ssize_t n = ::read(child.fd.Get(), buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) return false;
        child.lines.Feed(std::string_view(buffer, static_cast<size_t>(n)));
        while (const auto line = child.lines.Next())
            Line(child, *line);
        return true;
    }

    // A free slot in the rate cap's share (there are at least as many as jobs).
    size_t TakeSlot() const
    {
        const auto free = std::find(slotUsed_.begin(), slotUsed_.end(), false);
        return static_cast<size_t>(free - slotUsed_.begin());
    }

    void Reap(pid_t pid, Child& child)
    {
        child.fd.Reset();
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
            ;
        // A process killed mid-write leaves its share taken.
        if (opts_.job.rate) opts_.job.rate->End(child.rateSlot);
        slotUsed_[child.rateSlot] = false;
        // A pin outlives an attempt that was killed or crashed: it goes here.
        if (!child.pinnedOn.empty()) {
            DeviceReport& report = reports_[child.index];
            posix::RemoveNeighbour(report.ip, child.pinnedOn);
            view_.Note(report, "removed the neighbour entry the attempt left pinned on " + child.pinnedOn);
            child.pinnedOn.clear();
        }
        if (child.gotResult) return;
        if (aborting_) {
            Cut(child);
            return;
        }
        std::string why = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                              : "exit status " + std::to_string(WEXITSTATUS(status));
        Finish(child.index, Result::LocalError, "the attempt ended without an outcome (" + why + ")");
    }

    void Line(Child& child, const std::string& line)
    {
        DeviceReport& report = reports_[child.index];
        changed_ = true;
        const auto event = DecodeEvent(line);
        if (!event) {
            // The device library's own notes.
            if (!line.empty()) view_.Note(report, rtl::SafeText(line));
            return;
        }
        std::visit([&](const auto& e) { On(child, report, e); }, *event);
    }

    void On(Child&, DeviceReport& report, const FoundEvent& e)
    {
        report.device = e.device;
        report.device->ip = report.ip;
        view_.Note(report, "found " + report.device->name + " (" + report.device->mac + ")");
    }
    void On(Child& child, DeviceReport& report, const AcceptedEvent&)
    {
        child.transferStart = Clock::now();
        if (!opts_.job.dryRun) BeginStage(report, Stage::Transfer);
        view_.Note(report, opts_.job.dryRun ? "password accepted" : "password accepted, writing the image");
    }
    void On(Child& child, DeviceReport& report, const ProgressEvent& e)
    {
        report.transfer.acknowledgedBytes = static_cast<int64_t>(e.bytes);
        report.transferSeconds = child.transferStart ? Since(*child.transferStart) : 0;
        view_.Progress(report, e.bytes, report.transferSeconds);
        // The last block's acknowledgement: from now on a crash must not lead to a second write.
        if (e.bytes == image_.Size() && !child.imageIn && !opts_.job.dryRun) {
            child.imageIn = true;
            Checkpoint();
        }
    }
    void On(Child& child, DeviceReport& report, const WaitingBackEvent& e)
    {
        child.waitingBack = true;
        BeginStage(report, Stage::WaitBack);
        view_.Note(report, "image written; waiting up to " + std::to_string(e.seconds) + " s for it to come back");
    }
    void On(Child& child, DeviceReport& report, const PinnedEvent& e)
    {
        child.pinnedOn = e.dev;
        view_.Note(report, "pinned to " + e.mac + " on " + e.dev + " for the transfer");
    }
    void On(Child& child, DeviceReport&, const UnpinnedEvent&) { child.pinnedOn.clear(); }
    void On(Child&, DeviceReport& report, const SilentEvent& e)
    {
        report.silentSeconds = e.seconds;
        view_.Note(report, "restarting (silent since " + FormatSeconds(e.seconds) + ")");
    }
    void On(Child&, DeviceReport& report, const BackEvent& e)
    {
        report.waitedBack = true;
        report.backSeconds = e.seconds;
    }
    void On(Child&, DeviceReport& report, const NotBackEvent&)
    {
        report.waitedBack = true;
        report.backSeconds.reset();
    }
    void On(Child&, DeviceReport& report, const DroppedEvent& e)
    {
        report.droppedAnswers += e.answers;
        view_.Note(report, std::to_string(e.answers) + " device answers were lost to a full receive buffer");
    }
    void On(Child& child, DeviceReport& report, const ResultEvent& e)
    {
        child.gotResult = true;
        EndStage(report);
        report.transfer = e.transfer;
        if (child.transferStart && report.transferSeconds == 0)
            report.transferSeconds = Since(*child.transferStart);
        if (!stop_.Asked() && ShouldTryAgain(e.result, report.attempts, opts_.retries)) {
            view_.Note(report, std::string(ResultName(e.result)) + ": " + e.message + "; trying again");
            queue_.push_back(child.index);
            return;
        }
        Finish(child.index, e.result, e.message);
    }

    // The addresses that did answer the fleet's discovery and are no target: where a
    // mistyped address is most likely to be found.
    std::string OthersAnswering() const
    {
        if (!opts_.discovery) return "";
        constexpr size_t Shown = 8;
        std::vector<std::string> others;
        for (const auto& entry : opts_.discovery->Sorted())
            if (std::none_of(opts_.targets.begin(), opts_.targets.end(),
                             [&](const FleetTarget& t) { return t.ip == entry.ip; }))
                others.push_back(entry.ip);
        if (others.empty()) return "; no other address answered the discovery";
        std::string text = "; other addresses that answered: ";
        for (size_t i = 0; i < std::min(others.size(), Shown); ++i)
            text += (i > 0 ? ", " : "") + others[i];
        if (others.size() > Shown) text += " and " + std::to_string(others.size() - Shown) + " more";
        return text;
    }

    void Finish(size_t index, Result result, const std::string& message)
    {
        DeviceReport& report = reports_[index];
        settled_[index] = true;
        EndStage(report);
        report.result = result;
        report.message = result == Result::NoDevice ? message + OthersAnswering() : message;
        report.seconds = report.attempts > 0 ? Since(firstStart_[index]) : 0;
        view_.Finished(report);
        const bool wasStopped = gate_.Stopped();
        gate_.Settled(position_[index], Succeeded(result, report.waitedBack, report.backSeconds.has_value()),
                      report.ip + ": " + std::string(ResultName(result)) +
                          (result == Result::Done ? ", did not come back" : ""));
        if (!wasStopped && gate_.Stopped()) SkipRest();
        Checkpoint();
    }

    // Devices never started are skipped; those already started (a retry waiting) go on.
    void SkipRest()
    {
        std::deque<size_t> started;
        for (const size_t index : queue_) {
            DeviceReport& report = reports_[index];
            if (report.attempts > 0) {
                started.push_back(index);
                continue;
            }
            report.result = Result::Skipped;
            report.message = "Not started: " + gate_.Reason();
            view_.Finished(report);
        }
        queue_ = std::move(started);
    }

    // The second stage of a stop: every running attempt ends at once. Outcomes already in
    // stand; no device counts as done unless its last block was acknowledged.
    void Abort()
    {
        aborting_ = true;
        queue_.clear();
        for (const auto& [pid, child] : children_)
            ::kill(-pid, SIGTERM);
        const auto deadline = Clock::now() + StopGrace;
        while (!children_.empty()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            std::vector<pollfd> fds;
            for (const auto& [pid, child] : children_)
                fds.push_back({child.fd.Get(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) break;
            for (const auto& p : fds)
                if (p.revents != 0) Drain(p.fd);
        }
        // Past the grace period: the attempt and anything it started go.
        for (auto& [pid, child] : children_) {
            ::kill(-pid, SIGKILL);
            Reap(pid, child);
        }
        children_.clear();
        EndUnstarted();
    }

    // An attempt ended by the abort, by what it was doing.
    void Cut(const Child& child)
    {
        const DeviceReport& report = reports_[child.index];
        if (child.waitingBack)
            // Whether its last block was acknowledged is told only with the outcome.
            Finish(child.index, Result::Unconfirmed,
                   "the image went out, but the abort ended the attempt before its outcome: check that the "
                   "device runs the new image");
        else if (child.transferStart)
            Finish(child.index, Result::PartialWrite,
                   "Aborted mid-write after " + std::to_string(report.transfer.acknowledgedBytes) + " of " +
                       std::to_string(image_.Size()) + " bytes: the device holds part of the image");
    }

    // Devices a stop left without an outcome.
    void EndUnstarted()
    {
        for (size_t i = 0; i < reports_.size(); ++i) {
            if (!settled_[i] && reports_[i].result == Result::Interrupted) {
                EndStage(reports_[i]);
                if (reports_[i].attempts == 0) reports_[i].message = "Interrupted before it started";
                reports_[i].seconds = reports_[i].attempts > 0 ? Since(firstStart_[i]) : 0;
                view_.Finished(reports_[i]);
            }
        }
    }

    const FleetOptions& opts_;
    const FirmwareImage& image_;
    FleetView& view_;
    std::vector<DeviceReport> reports_;
    std::vector<bool> settled_; // has its outcome
    std::vector<Clock::time_point> firstStart_;
    std::vector<size_t> position_; // among the devices to be started, for the gate
    RolloutGate gate_;
    std::deque<size_t> queue_;
    std::map<pid_t, Child> children_;
    fleet::FleetStop& stop_;
    bool finishing_ = false;
    bool aborting_ = false;
    std::vector<bool> slotUsed_ = std::vector<bool>(RateShare::Slots, false);
    bool changed_ = false; // since the last checkpoint
    Clock::time_point lastCheckpoint_;
};

} // namespace

std::string_view StageName(Stage stage)
{
    switch (stage) {
    case Stage::Check: return "check";
    case Stage::Transfer: return "transfer";
    case Stage::WaitBack: return "wait-back";
    }
    return "check";
}

std::vector<DeviceReport> RunFleet(const FleetOptions& opts, const FirmwareImage& image, FleetView& view,
                                   fleet::FleetStop& stop, bool& interrupted)
{
    Scheduler scheduler(opts, image, view, stop);
    interrupted = scheduler.Run();
    return scheduler.Reports();
}

} // namespace fleet
