// The JSON report of a fleet upgrade (schema: docs/ftpupg-cli.md and
// docs/ftpupg-cli-report.schema.json). The password is never part of it.
#pragma once

#include "Fleet.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

struct ReportImage {
    std::string path;
    uint64_t size = 0;
    std::string sha256;
    uint64_t blocks = 0;
    bool blockNumbersWrap = false;
};

struct ReportRun {
    std::string version;
    std::string started; // UTC, ISO 8601
    std::string finished;
    std::string selection; // "ip", "ips", "all"
    bool interrupted = false;
};

nlohmann::json BuildReport(const ReportRun& run, const ReportImage& image, const FleetOptions& opts,
                           const std::vector<DeviceReport>& devices);

// UTC time as "2026-12-07T23:10:04Z".
std::string UtcNow();
