#include "cli/Report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <ctime>

namespace fleet {

namespace {

nlohmann::json SignatureJson(const ReportSignature& s)
{
    if (!s.verified)
        return {{"result", "not verified"},
                {"key_id", nullptr},
                {"trusted_comment", nullptr},
                {"models", nlohmann::json::array()}};
    return {
        {"result", "verified"}, {"key_id", s.keyId}, {"trusted_comment", s.trustedComment}, {"models", s.models}};
}

nlohmann::json DeviceJson(const DeviceReport& d)
{
    nlohmann::json device = nullptr;
    if (d.device) device = {{"mac", d.device->mac}, {"name", d.device->name}, {"protocols", d.device->protocols}};
    nlohmann::json back = nullptr;
    if (d.waitedBack)
        back = {{"came_back", d.backSeconds.has_value()},
                {"seconds", d.backSeconds ? nlohmann::json(*d.backSeconds) : nlohmann::json(nullptr)},
                {"silent_after", d.silentSeconds ? nlohmann::json(*d.silentSeconds) : nlohmann::json(nullptr)}};
    nlohmann::json stages = nlohmann::json::array();
    for (const auto& s : d.stages)
        stages.push_back({{"stage", StageName(s.stage)},
                          {"start_ms", std::llround(s.startMs)},
                          {"end_ms", std::llround(std::max(s.startMs, s.endMs))}});
    const auto bytes = static_cast<double>(d.transfer.acknowledgedBytes);
    nlohmann::json entry = d.transfer;
    entry.update({{"ip", d.ip},
                  {"label", d.label.empty() ? nlohmann::json(nullptr) : nlohmann::json(d.label)},
                  {"result", ResultName(d.result)},
                  {"message", d.message},
                  {"attempts", d.attempts},
                  {"seconds", d.seconds},
                  {"transfer_seconds", d.transferSeconds},
                  {"rate_bytes_per_s", d.transferSeconds > 0 ? bytes / d.transferSeconds : 0.0},
                  {"device", device},
                  {"wait_back", back},
                  {"stages", stages}});
    return entry;
}

} // namespace

nlohmann::json BuildReport(const ReportRun& run, const ReportImage& image, const FleetOptions& opts,
                           const std::vector<DeviceReport>& devices)
{
    nlohmann::json list = nlohmann::json::array();
    std::map<Result, size_t> counts;
    size_t notBack = 0; // done, but did not answer again: they count as failed
    size_t failed = 0;
    for (const auto& d : devices) {
        if (d.result == Result::Done && d.waitedBack && !d.backSeconds)
            ++notBack;
        else
            ++counts[d.result];
        // Skipped devices were never tried: neither succeeded nor failed.
        if (!Succeeded(d.result, d.waitedBack, d.backSeconds.has_value()) && d.result != Result::Skipped) ++failed;
        list.push_back(DeviceJson(d));
    }
    const JobPlan& job = opts.job;
    const auto orNull = [](const std::string& text) {
        return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
    };
    return {{"tool", "ftpupg-cli"},
            {"version", run.version},
            {"started", run.started},
            {"finished", run.finished},
            {"interrupted", run.interrupted},
            {"complete", run.complete},
            {"discovery_ms",
             run.discoveryMs ? nlohmann::json(std::llround(*run.discoveryMs)) : nlohmann::json(nullptr)},
            {"image",
             {{"path", image.path},
              {"size", image.size},
              {"sha256", image.sha256},
              {"blocks", image.blocks},
              {"block_numbers_wrap", image.blockNumbersWrap},
              {"signature", SignatureJson(image.signature)}}},
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
              {"skip_done", opts.skipDone.empty() ? nlohmann::json(nullptr) : nlohmann::json(opts.skipDone)},
              {"max_rate_bits_per_s", run.maxRate},
              {"ips_file", orNull(run.ipsFile)},
              {"password_file", orNull(run.passwordFile)},
              {"log", orNull(run.log)},
              {"resumed", orNull(run.resumed)},
              {"trusted_keys", run.trustedKeys},
              {"signature", orNull(run.signature)}}},
            {"summary",
             {{"devices", devices.size()},
              {"done", counts[Result::Done]},
              {"already_done", counts[Result::AlreadyDone]},
              {"would_upgrade", counts[Result::WouldUpgrade]},
              {"skipped", counts[Result::Skipped]},
              {"not_back", notBack},
              {"not_restarted", counts[Result::NotRestarted]},
              {"address_changed", counts[Result::AddressChanged]},
              {"unconfirmed", counts[Result::Unconfirmed]},
              {"back_unconfirmed", counts[Result::BackUnconfirmed]},
              {"failed", failed}}},
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
        const auto result = upgrade::ResultFromName(d["result"].get<std::string>());
        const std::string ip = d["ip"];
        // Before dry runs said would-upgrade, they said done for devices that got nothing.
        if (result == upgrade::Result::Done && !dryRun)
            done.devices[ip] = "Done with this image in the run that finished " + finished + " (" + source + ")";
        else if (result == upgrade::Result::AlreadyDone)
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

namespace {

ResumePlan ReadResumePlanChecked(std::string_view text, const std::string& source)
{
    const auto report = nlohmann::json::parse(text, nullptr, false);
    const auto bad = [&](const std::string& what) {
        return std::runtime_error(source + ": not a report of ftpupg-cli upgrade (" + what + ")");
    };
    if (report.is_discarded()) throw bad("not JSON");
    if (!report.is_object() || report.value("tool", "") != "ftpupg-cli") throw bad("no \"tool\": \"ftpupg-cli\"");
    if (!report.contains("image") || !report.contains("options") || !report.contains("devices"))
        throw bad("no image, options or devices");
    const auto& image = report.at("image");
    const auto& o = report.at("options");
    ResumePlan plan;
    plan.imagePath = image.at("path").get<std::string>();
    plan.sha256 = image.at("sha256").get<std::string>();
    for (const auto& d : report.at("devices"))
        plan.targets.emplace_back(d.at("ip").get<std::string>(),
                                  d.at("label").is_string() ? d.at("label").get<std::string>() : std::string());
    const auto text_or_empty = [&](const char* key) {
        return o.contains(key) && o.at(key).is_string() ? o.at(key).get<std::string>() : std::string();
    };
    plan.selection = o.at("selection").get<std::string>();
    plan.jobs = o.at("jobs").get<int>();
    plan.blockSize = o.at("blksize").get<int>();
    plan.timeoutMs = o.at("timeout_ms").get<int>();
    plan.windowSize = o.at("windowsize").get<int>();
    plan.waitMs = o.at("wait_ms").get<int>();
    plan.retries = o.at("retries").get<int>();
    plan.waitBackS = o.at("wait_back_s").get<int>();
    plan.dryRun = o.at("dry_run").get<bool>();
    plan.canary = o.at("canary").get<int>();
    plan.maxFailures = o.at("max_failures").get<int>();
    plan.maxRate = o.value("max_rate_bits_per_s", uint64_t{0});
    if (o.contains("trusted_keys")) plan.trustedKeys = o.at("trusted_keys").get<std::vector<std::string>>();
    plan.signaturePath = text_or_empty("signature");
    if (image.contains("signature") && image.at("signature").is_object()) {
        const auto& sig = image.at("signature");
        plan.signature.verified = sig.value("result", "") == "verified";
        if (plan.signature.verified) {
            plan.signature.keyId = sig.at("key_id").get<std::string>();
            plan.signature.trustedComment = sig.at("trusted_comment").get<std::string>();
        }
    }
    plan.ipsFile = text_or_empty("ips_file");
    plan.passwordFile = text_or_empty("password_file");
    plan.log = text_or_empty("log");
    return plan;
}

} // namespace

ResumePlan ReadResumePlan(std::string_view text, const std::string& source)
{
    try {
        return ReadResumePlanChecked(text, source);
    } catch (const nlohmann::json::exception& e) {
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

namespace {

std::string Errno()
{
    return std::strerror(errno);
}

} // namespace

ReportFile::ReportFile(std::string path) : path_(std::move(path))
{
    struct stat st {};
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) throw std::runtime_error(path_ + " is a directory");
    if (exists && !S_ISREG(st.st_mode)) {
        // A pipe, a terminal, a device: written in place. A pipe without a reader is refused
        // rather than waited for.
        fd_.Reset(::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd_) throw std::runtime_error("cannot open " + path_ + ": " + Errno());
        ::fcntl(fd_.Get(), F_SETFL, ::fcntl(fd_.Get(), F_GETFL) & ~O_NONBLOCK);
        // A character device takes a line feed now (JSON allows it before the report), so a
        // full one is found out before anything is sent.
        if (S_ISCHR(st.st_mode) && ::write(fd_.Get(), "\n", 1) != 1)
            throw std::runtime_error("cannot write to " + path_ + ": " + Errno());
        return;
    }
    if (exists && ::access(path_.c_str(), W_OK) != 0)
        throw std::runtime_error("cannot replace " + path_ + ": " + Errno());
    const auto slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    folder_.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder_) throw std::runtime_error("cannot create a file in " + folder + ": " + Errno());
    // One name, not a random one: a part left by a run that died is taken over, never added to.
    part_ = folder + "/." + base + ".part";
    // As a new file would be made: the umask's mode, or the mode of the report it replaces.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode_ = exists ? (st.st_mode & 07777) : (0666 & ~mask);
    // Made now to find out that the folder takes it, and gone until the first write, so that
    // a run that dies before it leaves nothing.
    fd_.Reset(::open(part_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode_));
    if (!fd_) throw std::runtime_error("cannot create a file in " + folder + ": " + Errno());
    ::unlink(part_.c_str());
    fd_.Reset();
}

void ReportFile::OpenPart()
{
    // O_NOFOLLOW: a link planted under the part's name must not redirect the report.
    fd_.Reset(::open(part_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode_));
    if (!fd_) throw std::runtime_error("cannot write " + part_ + ": " + Errno());
    ::fchmod(fd_.Get(), mode_);
}

ReportFile::~ReportFile()
{
    if (!part_.empty() && fd_) ::unlink(part_.c_str());
}

void ReportFile::Commit(const std::string& text, const std::function<void()>& keep)
{
    if (part_.empty()) {
        if (!posix::WriteAll(fd_.Get(), text.data(), text.size()))
            throw std::runtime_error("cannot write " + path_ + ": " + Errno());
        return;
    }
    if (!fd_) OpenPart();
    const bool written = posix::WriteAll(fd_.Get(), text.data(), text.size()) && ::fsync(fd_.Get()) == 0;
    const int error = errno;
    if (::close(fd_.Release()) != 0 || !written) {
        if (!written) errno = error;
        const std::string why = Errno();
        ::unlink(part_.c_str());
        throw std::runtime_error("cannot write " + path_ + ": " + why);
    }
    if (keep && !placed_) keep();
    if (::rename(part_.c_str(), path_.c_str()) != 0) {
        const std::string why = Errno();
        ::unlink(part_.c_str());
        throw std::runtime_error("cannot put the report in place as " + path_ + ": " + why);
    }
    placed_ = true;
    // The rename itself is on disk only once the folder is.
    ::fsync(folder_.Get());
}

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void KeepEarlierReports(const std::string& path, std::vector<std::string>& notes)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    constexpr int Kept = 9;
    for (int i = Kept - 1; i >= 1; --i) {
        const std::string from = path + "." + std::to_string(i);
        if (::access(from.c_str(), F_OK) == 0 &&
            ::rename(from.c_str(), (path + "." + std::to_string(i + 1)).c_str()) != 0)
            throw std::runtime_error("cannot keep " + from + ": " + std::strerror(errno));
    }
    if (::rename(path.c_str(), (path + ".1").c_str()) != 0)
        throw std::runtime_error("cannot keep the earlier report as " + path + ".1: " + std::strerror(errno));
    notes.push_back("the earlier report " + path + " is kept as " + path + ".1");
}

} // namespace fleet
