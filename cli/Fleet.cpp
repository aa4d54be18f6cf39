#include "Fleet.h"

#include "Fd.h"
#include "Image.h"

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

namespace {

using Clock = std::chrono::steady_clock;
using fleet::Result;

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

struct Child {
    size_t index = 0;
    posix::Fd fd;        // read end of the child's event pipe (its stderr too)
    std::string pending; // bytes of a line not yet complete
    bool gotResult = false;
    Clock::time_point attemptStart;
    std::optional<Clock::time_point> transferStart;
};

[[noreturn]] void RunChild(const JobPlan& plan, const FirmwareImage& image, int writeFd, pid_t parent)
{
    // A parent that dies (even by SIGKILL) takes its transfers with it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    // The parent's handlers only feed its stop pipe; here a signal ends the attempt at once.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    // The library's own notes come along as plain lines between the events.
    ::dup2(writeFd, STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
    }
    RunDeviceJob(plan, image, [writeFd](const nlohmann::json& event) {
        WriteAll(writeFd, event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    });
    ::_exit(0);
}

class Scheduler {
public:
    Scheduler(const FleetOptions& opts, const FirmwareImage& image, FleetView& view)
        : opts_(opts), image_(image), view_(view), gate_(opts.canary, opts.maxFailures)
    {
        reports_.resize(opts.targets.size());
        firstStart_.resize(opts.targets.size());
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

    bool Run(int stopFd)
    {
        for (const auto& report : reports_)
            if (report.result == Result::AlreadyDone) view_.Finished(report);
        auto lastTick = Clock::now();
        while (!queue_.empty() || !children_.empty()) {
            while (children_.size() < static_cast<size_t>(opts_.jobs)) {
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
            fds.push_back({stopFd, POLLIN, 0});
            for (const auto& [pid, child] : children_)
                fds.push_back({child.fd.Get(), POLLIN, 0});
            const int ready = ::poll(fds.data(), fds.size(), 100);
            if (ready < 0 && errno != EINTR) break;
            if (ready > 0 && fds[0].revents != 0) {
                Stop();
                return true;
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents != 0) Drain(fds[i].fd);
            }
            if (Clock::now() - lastTick >= std::chrono::milliseconds(100)) {
                lastTick = Clock::now();
                view_.Tick();
            }
        }
        return false;
    }

    std::vector<DeviceReport> Reports() const { return reports_; }

private:
    void Spawn(size_t index)
    {
        DeviceReport& report = reports_[index];
        ++report.attempts;
        if (report.attempts == 1) firstStart_[index] = Clock::now();
        report.bytes = 0;
        report.transferSeconds = 0;
        view_.Attempt(report);

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            Finish(index, Result::LocalError,
                   std::string("cannot start the attempt: pipe: ") + std::strerror(errno));
            return;
        }
        posix::Fd readEnd(fds[0]), writeEnd(fds[1]);
        JobPlan plan = opts_.job;
        plan.ip = report.ip;
        if (opts_.targets[index].password) plan.password = *opts_.targets[index].password;
        std::fflush(nullptr);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            readEnd.Reset();
            RunChild(plan, image_, writeEnd.Get(), parent);
        }
        // Only the child may hold the write end: its exit is the pipe's end.
        writeEnd.Reset();
        if (pid < 0) {
            Finish(index, Result::LocalError,
                   std::string("cannot start the attempt: fork: ") + std::strerror(errno));
            return;
        }
        Child child;
        child.index = index;
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
        Child& child = it->second;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n > 0) {
            child.pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = child.pending.find('\n')) != std::string::npos;) {
                const std::string line = child.pending.substr(0, end);
                child.pending.erase(0, end + 1);
                Line(child, line);
            }
            return;
        }
        Reap(it->first, child, false);
        children_.erase(it);
    }

    void Reap(pid_t pid, Child& child, bool stopping)
    {
        child.fd.Reset();
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
            ;
        if (child.gotResult || stopping) return;
        std::string why = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                              : "exit status " + std::to_string(WEXITSTATUS(status));
        Finish(child.index, Result::LocalError, "the attempt ended without an outcome (" + why + ")");
    }

    void Line(Child& child, const std::string& line)
    {
        DeviceReport& report = reports_[child.index];
        nlohmann::json event;
        if (!line.empty() && line.front() == '{') event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_object() || !event.contains("e")) {
            if (!line.empty()) view_.Note(report, line);
            return;
        }
        const std::string kind = event.value("e", "");
        if (kind == "found") {
            const auto& d = event["device"];
            report.device = fleet::DeviceEntry{report.ip, d.value("mac", ""), d.value("name", ""),
                                               d.value("protocols", std::vector<uint8_t>{})};
            view_.Note(report, "found " + report.device->name + " (" + report.device->mac + ")");
        } else if (kind == "accepted") {
            child.transferStart = Clock::now();
            view_.Note(report, opts_.job.dryRun ? "password accepted" : "password accepted, writing the image");
        } else if (kind == "progress") {
            report.bytes = event.value("bytes", uint64_t{0});
            report.transferSeconds = child.transferStart ? Since(*child.transferStart) : 0;
            view_.Progress(report, report.bytes, report.transferSeconds);
        } else if (kind == "back") {
            report.waitedBack = true;
            report.backSeconds = event.value("seconds", 0.0);
        } else if (kind == "not-back") {
            report.waitedBack = true;
            report.backSeconds.reset();
        } else if (kind == "result") {
            child.gotResult = true;
            const auto result = fleet::ResultFromName(event.value("result", "")).value_or(Result::LocalError);
            report.bytes = event.value("bytes", report.bytes);
            report.windowSize = event.value("windowsize", 0);
            report.retransmissions = event.value("retransmissions", int64_t{0});
            if (child.transferStart && report.transferSeconds == 0)
                report.transferSeconds = Since(*child.transferStart);
            if (fleet::IsRetryable(result) && report.attempts <= opts_.retries) {
                view_.Note(report, std::string(fleet::ResultName(result)) + ": " + event.value("message", "") +
                                       "; trying again");
                queue_.push_back(child.index);
                return;
            }
            Finish(child.index, result, event.value("message", ""));
        }
    }

    void Finish(size_t index, Result result, const std::string& message)
    {
        DeviceReport& report = reports_[index];
        report.result = result;
        report.message = message;
        report.seconds = Since(firstStart_[index]);
        view_.Finished(report);
        const bool wasStopped = gate_.Stopped();
        gate_.Settled(position_[index],
                      fleet::Succeeded(result, report.waitedBack, report.backSeconds.has_value()),
                      report.ip + ": " + std::string(fleet::ResultName(result)) +
                          (result == Result::Done ? ", did not come back" : ""));
        if (!wasStopped && gate_.Stopped()) SkipRest();
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

    // Ends every running attempt at once. Outcomes already written stand; the rest stay
    // "interrupted", so no device counts as done unless its last block was acknowledged.
    void Stop()
    {
        for (const auto& [pid, child] : children_)
            ::kill(pid, SIGTERM);
        for (auto& [pid, child] : children_) {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::read(child.fd.Get(), buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                child.pending.append(buffer, static_cast<size_t>(n));
            }
            // Only complete lines count; a cut one was being written when the signal came.
            for (size_t end; (end = child.pending.find('\n')) != std::string::npos;) {
                const std::string line = child.pending.substr(0, end);
                child.pending.erase(0, end + 1);
                Line(child, line);
            }
            Reap(pid, child, true);
        }
        children_.clear();
        queue_.clear();
        for (size_t i = 0; i < reports_.size(); ++i) {
            if (reports_[i].result == Result::Interrupted) {
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
    std::vector<Clock::time_point> firstStart_;
    std::vector<size_t> position_; // among the devices to be started, for the gate
    fleet::RolloutGate gate_;
    std::deque<size_t> queue_;
    std::map<pid_t, Child> children_;
};

} // namespace

std::vector<DeviceReport> RunFleet(const FleetOptions& opts, const FirmwareImage& image, FleetView& view,
                                   int stopFd, bool& interrupted)
{
    Scheduler scheduler(opts, image, view);
    interrupted = scheduler.Run(stopFd);
    return scheduler.Reports();
}
