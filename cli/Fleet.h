// Upgrades of many devices at once. Each attempt at one device runs in a child process of
// its own (fork, no exec): the device library, the socket stack and the TFTP client were
// made for one sequence per process, and a process per device keeps them so. The parent
// only schedules, routes events and reports; it stays single-threaded while children run.
#pragma once

#include "cli/DeviceJob.h"
#include "cli/DeviceTable.h"
#include "cli/Stop.h"
#include "tftp/TransferStats.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

class FirmwareImage;
struct DeviceReport;

struct FleetTarget {
    std::string ip;
    std::string label;
    std::optional<std::string> password; // this device's own; else the fleet's
    std::string alreadyDone;             // not empty: done earlier with this image, and why we know
};

struct FleetOptions {
    JobPlan job; // everything but the address (and a device's own password)
    std::vector<FleetTarget> targets;
    int jobs = ::upgrade::Jobs;
    int retries = 0;
    size_t canary = 0;      // devices upgraded first; the rest only if all of them succeed
    size_t maxFailures = 0; // no device starts once this many failed; 0: no limit
    std::string skipDone;   // the earlier report that said which devices are done (for the report)
    // The fleet's shared discovery: a target found there skips its own first discovery, and
    // a target several devices claim is not written. Unset: every job discovers on its own.
    std::optional<DeviceTable> discovery;
    // What the stages' times count from: the run's start, before its shared discovery.
    std::chrono::steady_clock::time_point runStart = std::chrono::steady_clock::now();
    // Called with every device as it stands, for a report that is always current: at the
    // start, when a device ends or its image is in, and each second while devices run. A
    // device still running is as it would be reported if the host died now: interrupted with
    // the bytes acknowledged so far, or done once its last block was acknowledged (a wait for
    // its restart may still run).
    std::function<void(const std::vector<DeviceReport>&)> checkpoint;
};

// What a device's attempt is doing, for the report's timeline.
enum class Stage { Check, Transfer, WaitBack };
std::string_view StageName(Stage stage); // "check", "transfer", "wait-back"

struct StageSpan {
    Stage stage = Stage::Check;
    double startMs = 0; // from the run's start (FleetOptions::runStart)
    double endMs = -1;  // below 0 while it lasts
};

struct DeviceReport {
    std::string ip;
    std::string label;
    Result result = Result::Interrupted;
    std::string message = "Interrupted before it finished";
    int attempts = 0;
    double seconds = 0;           // from the first attempt's start to the outcome
    double transferSeconds = 0;   // of the last attempt's TFTP write
    tftp::TransferStats transfer; // of the last attempt, its bytes as they are acknowledged
    std::optional<DeviceEntry> device;
    bool waitedBack = false;
    std::optional<double> silentSeconds; // when it was last heard before it restarted; unset: never fell silent
    std::optional<double> backSeconds;   // unset: did not come back
    uint64_t droppedAnswers = 0;         // replies its attempts lost to full buffers
    std::vector<StageSpan> stages;       // of every attempt, in order
};

// What the fleet tells whoever shows it. All calls come from the parent's one thread.
class FleetView {
public:
    virtual ~FleetView() = default;
    virtual void Attempt(const DeviceReport& device) = 0;                       // an attempt starts
    virtual void Note(const DeviceReport& device, const std::string& text) = 0; // one event
    virtual void Progress(const DeviceReport& device, uint64_t sent, double transferSeconds) = 0;
    virtual void Finished(const DeviceReport& device) = 0; // final outcome
    virtual void Tick() = 0;                               // about 10 times a second
    virtual void Say(const std::string& text) = 0;         // about the whole fleet
    virtual void Resized() {}                              // the terminal's size changed
};

// Runs the fleet until every device has an outcome, or until stop says so. At its first
// stage no attempt starts and running ones finish (one not yet writing ends before its write;
// a wait for a restart ends); at its second, running attempts get SIGTERM at once and SIGKILL
// after a short grace: a device cut off mid-write is partial-write, with the bytes sent. Every
// device without an outcome is reported interrupted. Devices done earlier are reported
// already-done and never started; when the rollout stops (opts.canary, opts.maxFailures),
// running devices finish and the devices never started are reported skipped. Returns the
// devices in the order of opts.targets; interrupted tells whether a stop came.
std::vector<DeviceReport> RunFleet(const FleetOptions& opts, const FirmwareImage& image, FleetView& view,
                                   FleetStop& stop, bool& interrupted);

} // namespace fleet
