// The JSON report of a fleet upgrade (schema: docs/ftpupg-cli.md and
// docs/ftpupg-cli-report.schema.json). The password is never part of it.
#pragma once

#include "posix/Fd.h"
#include "cli/Fleet.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

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
    bool complete = true; // false in the reports written while the run goes on
    // What --resume needs besides the devices: where the run's inputs were (never a password).
    std::string ipsFile = {};
    std::string passwordFile = {};
    std::string log = {};
    uint64_t maxRate = 0;                      // --max-rate in bits per second; 0: none
    std::string resumed = {};                  // the report this run resumed
    std::vector<std::string> trustedKeys = {}; // --trusted-key files, for --resume
    std::string signature = {};                // --signature, for --resume
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

// What --resume takes from a report: the same image, devices and options once more.
struct ResumePlan {
    std::string imagePath;
    std::string sha256;
    std::vector<std::pair<std::string, std::string>> targets; // address, label
    std::string selection;
    int jobs = ::upgrade::Jobs;
    int blockSize = 0;
    int timeoutMs = 0;
    int windowSize = 0;
    int waitMs = 0;
    int retries = 0;
    int waitBackS = 0;
    bool dryRun = false;
    int canary = 0;
    int maxFailures = 0;
    uint64_t maxRate = 0;
    std::vector<std::string> trustedKeys;
    std::string signaturePath;
    ReportSignature signature; // what the run's check of the image's signature found
    std::string ipsFile;       // empty: none recorded
    std::string passwordFile = {};
    std::string log = {};
};

// Throws std::runtime_error naming what is wrong when the text is no report of this tool.
ResumePlan ReadResumePlan(std::string_view text, const std::string& source);

// Where the report goes, checked and prepared before any device is touched: a folder that
// exists and takes a new file, never a directory. Each write goes to .NAME.part beside it
// (one left by a run that died is removed or taken over), is synced and renamed into place,
// and the folder is synced: a report on disk is always whole, whenever the host dies. A path that
// names something other than a file (a pipe, /dev/stdout) is opened now and written in
// place, once, at the end.
class ReportFile {
public:
    // Throws std::runtime_error naming the problem.
    explicit ReportFile(std::string path);
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Writes text and puts the file in place; may be called again with newer text (a pipe
    // takes only the last: see InPlace). keep runs before the first rename, to move an earlier
    // report aside. Throws std::runtime_error naming the problem.
    void Commit(const std::string& text, const std::function<void()>& keep = {});
    // Written in place: only one Commit, with the whole report, makes sense.
    bool InPlace() const { return part_.empty(); }

private:
    void OpenPart();

    std::string path_;
    std::string part_; // empty: written in place
    posix::Fd fd_;     // the part being written, or the file written in place
    posix::Fd folder_;
    mode_t mode_ = 0;
    bool placed_ = false; // renamed into place at least once
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
