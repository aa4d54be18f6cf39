#include "Report.h"

#include <chrono>
#include <ctime>

nlohmann::json BuildReport(const ReportRun& run, const ReportImage& image, const FleetOptions& opts,
                           const std::vector<DeviceReport>& devices)
{
    nlohmann::json list = nlohmann::json::array();
    size_t done = 0;
    for (const auto& d : devices) {
        if (d.result == fleet::Result::Done) ++done;
        nlohmann::json device = nullptr;
        if (d.device)
            device = {{"mac", d.device->mac}, {"name", d.device->name}, {"protocols", d.device->protocols}};
        nlohmann::json back = nullptr;
        if (d.waitedBack)
            back = {{"came_back", d.backSeconds.has_value()},
                    {"seconds", d.backSeconds ? nlohmann::json(*d.backSeconds) : nlohmann::json(nullptr)}};
        list.push_back(
            {{"ip", d.ip},
             {"result", fleet::ResultName(d.result)},
             {"message", d.message},
             {"attempts", d.attempts},
             {"bytes", d.bytes},
             {"seconds", d.seconds},
             {"transfer_seconds", d.transferSeconds},
             {"rate_bytes_per_s", d.transferSeconds > 0 ? static_cast<double>(d.bytes) / d.transferSeconds : 0.0},
             {"device", device},
             {"wait_back", back}});
    }
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
              {"wait_ms", job.waitMs},
              {"retries", opts.retries},
              {"wait_back_s", job.waitBackS},
              {"dry_run", job.dryRun}}},
            {"summary", {{"devices", devices.size()}, {"done", done}, {"failed", devices.size() - done}}},
            {"devices", list}};
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
