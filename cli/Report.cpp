#include "Report.h"

#include <chrono>
#include <map>
#include <stdexcept>
#include <ctime>

nlohmann::json BuildReport(const ReportRun& run, const ReportImage& image, const FleetOptions& opts,
                           const std::vector<DeviceReport>& devices)
{
    using fleet::Result;
    nlohmann::json list = nlohmann::json::array();
    std::map<Result, size_t> counts;
    for (const auto& d : devices) {
        ++counts[d.result];
        nlohmann::json device = nullptr;
        if (d.device)
            device = {{"mac", d.device->mac}, {"name", d.device->name}, {"protocols", d.device->protocols}};
        nlohmann::json back = nullptr;
        if (d.waitedBack)
            back = {{"came_back", d.backSeconds.has_value()},
                    {"seconds", d.backSeconds ? nlohmann::json(*d.backSeconds) : nlohmann::json(nullptr)}};
        list.push_back(
            {{"ip", d.ip},
             {"label", d.label.empty() ? nlohmann::json(nullptr) : nlohmann::json(d.label)},
             {"result", fleet::ResultName(d.result)},
             {"message", d.message},
             {"attempts", d.attempts},
             {"bytes", d.bytes},
             {"seconds", d.seconds},
             {"transfer_seconds", d.transferSeconds},
             {"rate_bytes_per_s", d.transferSeconds > 0 ? static_cast<double>(d.bytes) / d.transferSeconds : 0.0},
             {"windowsize", d.windowSize},
             {"retransmissions", d.retransmissions},
             {"device", device},
             {"wait_back", back}});
    }
    const size_t settled = counts[Result::Done] + counts[Result::AlreadyDone] + counts[Result::WouldUpgrade] +
                           counts[Result::Skipped];
    const JobPlan& job = opts.job;
    return {{"tool", "ftpupg-cli"},
            {"version", run.version},
            {"started", run.started},
            {"finished", run.finished},
            {"interrupted", run.interrupted},
            {"image",
             {{"path", image.path},
              {"size", image.size},
              {"sha256", image.sha256},
              {"blocks", image.blocks},
              {"block_numbers_wrap", image.blockNumbersWrap}}},
            {"options",
             {{"selection", run.selection},
              {"jobs", opts.jobs},
              {"blksize", job.blockSize},
              {"timeout_ms", job.timeoutMs},
              {"windowsize", job.windowSize},
              {"wait_ms", job.waitMs},
              {"retries", opts.retries},
              {"wait_back_s", job.waitBackS},
              {"dry_run", job.dryRun},
              {"canary", opts.canary},
              {"max_failures", opts.maxFailures},
              {"skip_done", opts.skipDone.empty() ? nlohmann::json(nullptr) : nlohmann::json(opts.skipDone)}}},
            {"summary",
             {{"devices", devices.size()},
              {"done", counts[Result::Done]},
              {"already_done", counts[Result::AlreadyDone]},
              {"would_upgrade", counts[Result::WouldUpgrade]},
              {"skipped", counts[Result::Skipped]},
              {"failed", devices.size() - settled}}},
            {"devices", list}};
}

namespace {

DoneEarlier ReadDoneEarlierChecked(std::string_view text, std::string_view sha256, const std::string& source)
{
    const auto report = nlohmann::json::parse(text, nullptr, false);
    const auto bad = [&](const std::string& what) {
        return std::runtime_error(source + ": not a report of ftpupg-cli upgrade (" + what + ")");
    };
    if (report.is_discarded()) throw bad("not JSON");
    if (!report.is_object() || report.value("tool", "") != "ftpupg-cli") throw bad("no \"tool\": \"ftpupg-cli\"");
    const auto image = report.find("image");
    const auto devices = report.find("devices");
    if (image == report.end() || !image->is_object() || !image->contains("sha256") ||
        !(*image)["sha256"].is_string())
        throw bad("no image SHA-256");
    if (devices == report.end() || !devices->is_array()) throw bad("no device list");
    const auto options = report.find("options");
    const bool dryRun = options != report.end() && options->is_object() && options->value("dry_run", false);

    DoneEarlier done;
    const std::string earlierSha = (*image)["sha256"];
    if (earlierSha != sha256) {
        done.note = source + " is about another image (SHA-256 " + earlierSha + "); no device is skipped";
        return done;
    }
    const std::string finished = report.value("finished", "");
    for (const auto& d : *devices) {
        if (!d.is_object() || !d.contains("ip") || !d["ip"].is_string() || !d.contains("result") ||
            !d["result"].is_string())
            throw bad("a device without address or result");
        const std::string result = d["result"];
        const std::string ip = d["ip"];
        // Before dry runs said would-upgrade, they said done for devices that got nothing.
        if (result == "done" && !dryRun)
            done.devices[ip] = "Done with this image in the run that finished " + finished + " (" + source + ")";
        else if (result == "already-done")
            done.devices[ip] = d.value("message", "Done with this image in an earlier run");
    }
    return done;
}

} // namespace

DoneEarlier ReadDoneEarlier(std::string_view text, std::string_view sha256, const std::string& source)
{
    try {
        return ReadDoneEarlierChecked(text, sha256, source);
    } catch (const nlohmann::json::exception& e) {
        // A field of another type than a report has.
        throw std::runtime_error(source + ": not a report of ftpupg-cli upgrade (" + e.what() + ")");
    }
}

std::string UtcNow()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}
