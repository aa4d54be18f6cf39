// The JSON report of a fleet upgrade (schema: docs/ftpupg-cli.md and
// docs/ftpupg-cli-report.schema.json). The password is never part of it.
#pragma once

#include "Fleet.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

struct TReportImage {
    std::string path;
    uint64_t size = 0;
    std::string sha256;
    uint64_t blocks = 0;
    bool blockNumbersWrap = false;
};

struct TReportRun {
    std::string version;
    std::string started;  // UTC, ISO 8601
    std::string finished;
    std::string selection; // "ip", "ips", "all"
    bool interrupted = false;
};

nlohmann::json BuildReport(const TReportRun& run, const TReportImage& image, const TFleetOptions& opts,
                           const std::vector<TDeviceReport>& devices);

// UTC time as "2026-12-07T23:10:04Z".
std::string UtcNow();
