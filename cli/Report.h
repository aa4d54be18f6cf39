// The JSON report of a fleet upgrade (schema: docs/ftpupg-cli.md and
// docs/ftpupg-cli-report.schema.json). The password is never part of it.
#pragma once

#include "posix/Fd.h"
#include "cli/Fleet.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// What the signature check found; without trusted keys the image is not verified.
struct ReportSignature {
    bool verified = false;
    std::string keyId;
    std::string trustedComment;
    std::vector<std::string> models; // from the trusted comment; empty: any model
};

struct ReportImage {
    std::string path;
    uint64_t size = 0;
    std::string sha256;
    uint64_t blocks = 0;
    bool blockNumbersWrap = false;
    ReportSignature signature = {};
};

struct ReportRun {
    std::string version;
    std::string started; // UTC, ISO 8601
    std::string finished;
    std::string selection; // "ip", "ips", "all"
    bool interrupted = false;
    // How long the shared discovery took, from the run's start; unset: there was none.
    std::optional<double> discoveryMs;
};

nlohmann::json BuildReport(const ReportRun& run, const ReportImage& image, const FleetOptions& opts,
                           const std::vector<DeviceReport>& devices);

// What an earlier report says was done with this image (--skip-done).
struct DoneEarlier {
    std::map<std::string, std::string> devices; // address -> the message of its already-done entry
    std::string note;                           // why nothing could be taken from it (another image), else empty
};

// Devices done with the image of this hash: "done" in a run that wrote images, or
// "already-done" (done in a run before that). Throws std::runtime_error naming what is
// wrong when the text is no report of this tool.
DoneEarlier ReadDoneEarlier(std::string_view text, std::string_view sha256, const std::string& source);

// Where the report goes, checked and prepared before any device is touched: a folder that
// exists and takes a new file (a temporary one is made there now), never a directory.
// Written whole at the end and renamed into place, so a report is never half there. A
// path that names something other than a file (a pipe, /dev/stdout) is opened now and
// written in place.
class ReportFile {
public:
    // Throws std::runtime_error naming the problem.
    explicit ReportFile(std::string path);
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Writes text and puts the file in place (keep runs just before, to move an earlier
    // report aside). Throws std::runtime_error naming the problem.
    void Commit(const std::string& text, const std::function<void()>& keep = {});

private:
    std::string path_;
    std::string temporary_; // empty: written in place
    posix::Fd fd_;
};

// Keeps an existing report: FILE becomes FILE.1, FILE.1 becomes FILE.2, and so on up to
// FILE.9 (the oldest is dropped). Only regular files move; a pipe or device is written as it
// is. What moved is said in notes. Throws std::runtime_error naming what could not move.
void KeepEarlierReports(const std::string& path, std::vector<std::string>& notes);

// Whether two paths name one file (both exist).
bool SameFile(const std::string& a, const std::string& b);

// UTC time as "2026-12-07T23:10:04Z".
std::string UtcNow();

} // namespace fleet
