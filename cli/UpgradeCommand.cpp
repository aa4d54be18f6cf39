#include "cli/UpgradeCommand.h"

#include "cli/Addresses.h"
#include "cli/Console.h"
#include "cli/DeviceLink.h"
#include "cli/DevicePassword.h"
#include "cli/Fleet.h"
#include "cli/Image.h"
#include "cli/ImageSignature.h"
#include "cli/Inputs.h"
#include "cli/Outcome.h"
#include "cli/RateShare.h"
#include "cli/Report.h"
#include "cli/Stop.h"
#include "cli/Trace.h"
#include "cli/Units.h"
#include "posix/NeighbourPin.h"
#include "rtl/FtpupgVersion.h"
#include "rtl/SafeText.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace fleet {

namespace {

// What the command line selects, read and checked before anything is sent. An empty error
// is no error.
struct Selection {
    std::vector<FleetTarget> targets;
    std::vector<std::string> warnings;
    std::string fleetPassword;
    // --resume: the image's hash and the selection of the run resumed.
    std::string resumedSha256;
    std::string resumedSelection;
    std::optional<ReportSignature> resumedSignature;
};

// The text of --ips, or the addresses of --ip as a list; source names it in messages.
std::string ListText(const UpgradeArgs& args, std::string& source, std::string& error)
{
    if (!args.ipsFile.empty()) {
        source = args.ipsFile;
        try {
            return ReadWhole(args.ipsFile);
        } catch (const std::exception& e) {
            error = std::string("--ips: cannot read ") + e.what();
            return {};
        }
    }
    source = "--ip";
    std::string text;
    for (const auto& ip : args.ips) {
        if (!IsDeviceAddress(ip)) {
            error = "--ip: not an IPv4 address: '" + ip + "'";
            return {};
        }
        text += ip + "\n";
    }
    return text;
}

// A device's own password file, read; a problem is one more bad line of the list.
FleetTarget ReadTarget(const Target& t, const std::string& listPath, const std::string& source,
                       std::vector<LineError>& errors)
{
    FleetTarget target{t.ip, t.label, std::nullopt, {}};
    if (t.passwordFile.empty()) return target;
    const std::string path = BesideList(listPath, t.passwordFile);
    const std::string where = source + ":" + std::to_string(t.line) + ": password file ";
    try {
        target.password = ReadPasswordFile(path);
        if (target.password->empty()) errors.push_back({t.line, where + path + " is empty"});
    } catch (const std::exception& e) {
        errors.push_back({t.line, where + e.what()});
    }
    return target;
}

std::string BadLines(std::vector<LineError> errors)
{
    std::stable_sort(errors.begin(), errors.end(), [](const auto& a, const auto& b) { return a.line < b.line; });
    std::string all;
    for (const auto& e : errors)
        all += (all.empty() ? "" : "\n") + e.text;
    return all + "\n" + std::to_string(errors.size()) + " bad line(s); nothing was sent";
}

// One line however many: a list pasted twice would otherwise bury everything else.
std::string DuplicatesWarning(const std::vector<std::string>& duplicates)
{
    std::string names;
    for (size_t i = 0; i < duplicates.size() && i < 5; ++i)
        names += (i == 0 ? "" : ", ") + duplicates[i];
    if (duplicates.size() > 5) names += ", ...";
    return "warning: " + std::to_string(duplicates.size()) +
           (duplicates.size() == 1 ? " address is" : " addresses are") + " listed more than once (" + names +
           "); each is upgraded once";
}

// --ip or --ips: the targets, every bad line at once (password files that cannot be read
// among them).
std::string ReadTargets(const UpgradeArgs& args, Selection& selection)
{
    std::string source;
    std::string error;
    const std::string text = ListText(args, source, error);
    if (!error.empty()) return error;
    auto list = ParseAddressList(text, source);
    for (const auto& t : list.targets)
        selection.targets.push_back(ReadTarget(t, args.ipsFile, source, list.errors));
    if (!list.errors.empty()) return BadLines(list.errors);
    if (list.targets.empty()) return source + ": no device address in it";
    if (!list.duplicates.empty()) selection.warnings.push_back(DuplicatesWarning(list.duplicates));
    return {};
}

// Each listed device's own password file, from an address list --resume found recorded
// (address -> path); a list that is gone or changed is named in a warning.
std::map<std::string, std::string> OwnPasswordFiles(const std::string& ipsFile, Selection& selection)
{
    std::map<std::string, std::string> files;
    if (ipsFile.empty()) return files;
    try {
        for (const auto& t : ParseAddressList(ReadWhole(ipsFile), ipsFile).targets)
            if (!t.passwordFile.empty()) files[t.ip] = BesideList(ipsFile, t.passwordFile);
    } catch (const std::exception& e) {
        selection.warnings.push_back(std::string("warning: --resume: devices' own passwords: ") + e.what());
    }
    return files;
}

// --resume: the image, the devices and the options of the report's run, but the options
// the command line gives again; devices the report gives as done are skipped.
std::string ApplyResume(UpgradeArgs& args, Selection& selection)
{
    const std::string& source = args.resume;
    if (!args.skipDone.empty()) return "--resume skips what " + source + " gives as done: not with --skip-done";
    ResumePlan plan;
    try {
        plan = ReadResumePlan(ReadWhole(source), source);
    } catch (const std::exception& e) {
        return std::string("--resume: ") + e.what();
    }
    const auto take = [&](const char* option, auto& value, auto recorded) {
        if (!args.given.count(option)) value = recorded;
    };
    take("--image", args.image, plan.imagePath);
    take("--jobs", args.jobs, plan.jobs);
    take("--blksize", args.blockSize, plan.blockSize);
    take("--timeout", args.timeoutMs, plan.timeoutMs);
    take("--windowsize", args.windowSize, plan.windowSize);
    take("--wait", args.waitMs, plan.waitMs);
    take("--retries", args.retries, plan.retries);
    take("--wait-back", args.waitBack, plan.waitBackS);
    take("--canary", args.canary, plan.canary);
    take("--max-failures", args.maxFailures, plan.maxFailures);
    take("--max-rate", args.maxRate, plan.maxRate);
    take("--log", args.log, plan.log);
    take("--json", args.json, source);
    take("--trusted-key", args.trustedKeys, plan.trustedKeys);
    take("--signature", args.signature, plan.signaturePath);
    selection.resumedSignature = plan.signature;
    if (!args.given.count("--dry-run")) args.dryRun = plan.dryRun;
    if (!args.password && args.passwordFile.empty()) args.passwordFile = plan.passwordFile;
    args.ipsFile = plan.ipsFile; // for the record only: the devices are the report's
    args.skipDone = source;
    selection.resumedSha256 = plan.sha256;
    selection.resumedSelection = plan.selection;
    if (plan.targets.empty()) return "--resume: " + source + " lists no device";
    const auto own = OwnPasswordFiles(plan.ipsFile, selection);
    for (const auto& [ip, label] : plan.targets) {
        if (!IsDeviceAddress(ip)) return "--resume: " + source + ": not an IPv4 address: '" + ip + "'";
        FleetTarget target{ip, label, std::nullopt, {}};
        if (const auto it = own.find(ip); it != own.end()) {
            try {
                target.password = ReadPasswordFile(it->second);
            } catch (const std::exception& e) {
                return "--resume: the password file of " + ip + ": " + e.what();
            }
        }
        selection.targets.push_back(std::move(target));
    }
    return {};
}

// The fleet's password, needed unless every listed device has its own, and each device's
// own, all as the device receives them.
std::string TakePasswords(const UpgradeArgs& args, Selection& selection)
{
    auto& targets = selection.targets;
    const auto take = [&](const std::string& text, const std::string& whose, std::string& into) {
        DevicePassword password = EncodePassword(text, whose);
        for (auto& w : password.warnings)
            selection.warnings.push_back(std::move(w));
        if (password.encoded) into = *password.encoded;
        return password.error;
    };
    if (args.all || args.password || !args.passwordFile.empty() ||
        std::any_of(targets.begin(), targets.end(), [](const auto& t) { return !t.password; })) {
        std::string error;
        const auto password = FindPassword(args.password, args.passwordFile, error);
        if (!password) return error;
        if (error = take(*password, "the password", selection.fleetPassword); !error.empty()) return error;
    }
    for (auto& t : targets) {
        if (!t.password) continue;
        if (auto error = take(*t.password, "the password of " + t.ip, *t.password); !error.empty()) return error;
    }
    return {};
}

// Where the report, the log and the human output go, checked before anything is sent: a
// report or log that cannot be written should not be found out after every device was
// written.
struct Outputs {
    std::optional<ReportFile> report;
    std::optional<LogFile> log;
    FILE* out = stdout; // standard error when standard output carries the report
    bool live = false;
    bool checkpointFailed = false;
};

std::string CheckOutputs(const UpgradeArgs& args, Outputs& outputs)
{
    for (const auto& [option, path] : {std::pair{"--json", args.json}, std::pair{"--log", args.log}})
        if (!path.empty() && path != "-" && (path == args.image || SameFile(path, args.image)))
            return std::string(option) + " " + path + " names the firmware image";
    if (!args.json.empty() && args.json != "-" && (args.json == args.log || SameFile(args.json, args.log)))
        return "--json and --log name the same file";
    try {
        if (!args.json.empty() && args.json != "-") outputs.report.emplace(args.json);
    } catch (const std::exception& e) {
        return std::string("--json: ") + e.what();
    }
    try {
        if (args.log.empty())
            outputs.log.emplace();
        else
            outputs.log.emplace(args.log,
                                std::string("ftpupg-cli ") + rtl::Version + ": upgrade with " + args.image);
    } catch (const std::exception& e) {
        return std::string("--log: ") + e.what();
    }
    outputs.out = args.json == "-" ? stderr : stdout;
    const char* term = std::getenv("TERM");
    outputs.live = ::isatty(::fileno(outputs.out)) && !(term != nullptr && std::strcmp(term, "dumb") == 0);
    return {};
}

void SayImage(ConsoleView& view, const UpgradeArgs& args, const ReportImage& image)
{
    view.Say("image " + args.image + ": " + std::to_string(image.size) + " bytes, SHA-256 " + image.sha256);
    const ReportSignature& s = image.signature;
    if (s.verified)
        view.Say("signature: verified, key " + s.keyId + ", trusted comment: " + s.trustedComment +
                 (s.models.empty() ? std::string("; any model")
                                   : "; written only to devices that answer as a model it names"));
    else
        view.Say("signature: not verified (no --trusted-key)");
    if (image.blockNumbersWrap)
        view.Say("warning: the image needs " + std::to_string(image.blocks) + " blocks of " +
                 std::to_string(args.blockSize) +
                 " bytes; block numbers wrap after 65535, which some devices "
                 "do not accept (a larger --blksize avoids it)");
}

void MarkDoneEarlier(const std::optional<DoneEarlier>& doneEarlier, std::vector<FleetTarget>& targets)
{
    if (doneEarlier)
        for (auto& t : targets)
            if (const auto it = doneEarlier->devices.find(t.ip); it != doneEarlier->devices.end())
                t.alreadyDone = it->second;
}

// The devices as they stand before the fleet starts: done earlier, or not started.
std::vector<DeviceReport> Unstarted(const std::vector<FleetTarget>& targets)
{
    std::vector<DeviceReport> devices;
    for (const auto& t : targets) {
        DeviceReport d;
        d.ip = t.ip;
        d.label = t.label;
        d.result = t.alreadyDone.empty() ? Result::Interrupted : Result::AlreadyDone;
        d.message = t.alreadyDone.empty() ? "Not started when this report was written" : t.alreadyDone;
        devices.push_back(std::move(d));
    }
    return devices;
}

// One discovery for the fleet: every device answers each request, so one request for all of
// them instead of one per device keeps the answers few enough to arrive. Devices done
// earlier are not asked anything. With --all, the devices that answered become the targets.
void DiscoverFleet(const UpgradeArgs& args, const std::optional<DoneEarlier>& doneEarlier, FleetStop& stop,
                   ConsoleView& view, ReportRun& run, FleetOptions& opts)
{
    Discovery found;
    bool shared = true;
    try {
        std::vector<std::string> wanted;
        for (const auto& t : opts.targets)
            if (!doneEarlier || !doneEarlier->devices.count(t.ip)) wanted.push_back(t.ip);
        if (args.all || !wanted.empty()) {
            std::optional<ProcessTrace> trace;
            if (!args.trace.empty()) trace.emplace(DiscoveryTraceFile(args.trace));
            found = Discover(args.waitMs, &stop, args.all ? nullptr : &wanted);
            run.discoveryMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - opts.runStart)
                    .count();
        }
    } catch (const std::exception& e) {
        // Each device's job then meets the reason itself, and the report names it.
        view.Say(std::string("warning: discovery: ") + e.what());
        shared = false;
    }
    WarnAboutAnswers(found, [&](const std::string& text) { view.Say(text); });
    if (args.all) {
        for (const auto& d : found.table.Sorted())
            opts.targets.push_back({d.ip, {}, std::nullopt, {}});
        view.Say("discovery: " + std::to_string(opts.targets.size()) + " device(s) answered");
    }
    if (shared) opts.discovery = std::move(found.table);
    MarkDoneEarlier(doneEarlier, opts.targets);
}

FleetOptions FleetOptionsFor(const UpgradeArgs& args, Selection& selection)
{
    FleetOptions opts;
    opts.job = {"",          selection.fleetPassword, args.blockSize, args.timeoutMs,
                args.waitMs, args.waitBack,           args.dryRun};
    opts.job.windowSize = args.windowSize;
    opts.job.traceDir = args.trace;
    opts.targets = std::move(selection.targets);
    opts.jobs = args.jobs;
    opts.retries = args.retries;
    opts.canary = static_cast<size_t>(args.canary);
    opts.maxFailures = static_cast<size_t>(args.maxFailures);
    opts.skipDone = args.skipDone;
    return opts;
}

void WarnAboutLostAnswers(ConsoleView& view, const std::vector<DeviceReport>& devices)
{
    uint64_t lost = 0;
    for (const auto& d : devices)
        lost += d.droppedAnswers;
    if (lost > 0)
        view.Say(
            "warning: " + std::to_string(lost) +
            " device answers were lost to a full receive buffer during the run; devices reported no-device or "
            "password-timeout may not have been heard");
}

int ExitStatusOf(const std::vector<DeviceReport>& devices, bool interrupted)
{
    std::vector<DeviceEnd> ends;
    ends.reserve(devices.size());
    for (const auto& d : devices)
        ends.push_back({d.result, d.waitedBack, d.backSeconds.has_value()});
    return RunExitStatus(ends, interrupted);
}

// The JSON report, to standard output or put in place of the file checked at the start.
// Returns whether it was written; a file written is added to records.
bool WriteReport(const UpgradeArgs& args, Outputs& outputs, const nlohmann::json& report,
                 std::vector<std::string>& records)
{
    const std::string text = report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (args.json == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (std::fflush(stdout) == 0) return true;
        std::fprintf(stderr, "ftpupg-cli: --json -: cannot write the report: %s\n", std::strerror(errno));
        return false;
    }
    std::vector<std::string> notes;
    bool written = true;
    try {
        // An earlier report is moved aside only once the new one is written whole.
        outputs.report->Commit(text, [&] { KeepEarlierReports(args.json, notes); });
        records.push_back("the report " + args.json);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: --json: %s; the report is not written\n",
                     rtl::MaskLines(e.what()).c_str());
        written = false;
    }
    for (const auto& n : notes)
        std::fprintf(outputs.out, "%s\n", rtl::MaskLines(n).c_str());
    return written;
}

// A path as it is found from anywhere (--resume may run elsewhere); "-" and "" are none.
std::string Absolute(const std::string& path)
{
    if (path.empty() || path == "-") return {};
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

// The report as the run stands, put in place of the last one: a host that dies leaves it.
// A failure is told once; the run goes on, and the report is tried again at the end.
void Checkpoint(const UpgradeArgs& args, Outputs& outputs, const ReportRun& run, const ReportImage& image,
                const FleetOptions& opts, const std::vector<DeviceReport>& devices, ConsoleView& view)
{
    ReportRun now = run;
    now.complete = false;
    now.finished = UtcNow();
    const std::string text =
        BuildReport(now, image, opts, devices).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
        "\n";
    std::vector<std::string> notes;
    try {
        outputs.report->Commit(text, [&] { KeepEarlierReports(args.json, notes); });
        outputs.checkpointFailed = false;
    } catch (const std::exception& e) {
        if (!outputs.checkpointFailed)
            view.Say(std::string("warning: --json: ") + e.what() +
                     "; the report is not current until it is written");
        outputs.checkpointFailed = true;
    }
    for (const auto& n : notes)
        view.Say(n);
}

// What was prepared before the run: the image, its signature's check and what an earlier
// report says is done.
struct Prepared {
    std::optional<FirmwareImage> image;
    ReportImage reportImage;
    std::optional<DoneEarlier> doneEarlier;
};

// --resume of a run that verified its image's signature: this run must find the same one.
std::string SignatureChanged(const Selection& selection, const ReportSignature& now)
{
    if (!selection.resumedSignature || !selection.resumedSignature->verified) return {};
    const ReportSignature& then = *selection.resumedSignature;
    if (!now.verified) return "the run verified the image's signature (key " + then.keyId + "); this one did not";
    if (now.keyId != then.keyId || now.trustedComment != then.trustedComment)
        return "the image's signature changed (key " + then.keyId + ", trusted comment '" + then.trustedComment +
               "', now key " + now.keyId + ", '" + now.trustedComment + "')";
    return {};
}

// The trusted keys: --trusted-key, else FTPUPG_TRUSTED_KEYS (files separated by ':').
std::vector<std::string> TrustedKeyFiles(const UpgradeArgs& args)
{
    if (!args.trustedKeys.empty()) return args.trustedKeys;
    std::vector<std::string> files;
    const char* list = std::getenv("FTPUPG_TRUSTED_KEYS");
    std::string_view rest = list != nullptr ? list : "";
    while (!rest.empty()) {
        const size_t end = rest.find(':');
        if (end != 0) files.emplace_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return files;
}

// The keys read, or the usage error that names the file.
std::string ReadTrustedKeys(const std::vector<std::string>& files, std::vector<TrustedKey>& keys)
{
    for (const auto& file : files) {
        std::string error;
        try {
            if (auto key = ParseTrustedKey(ReadWhole(file), error)) {
                keys.push_back(*key);
                continue;
            }
        } catch (const std::exception& e) {
            error = e.what();
        }
        return "--trusted-key " + file + ": " + error;
    }
    return {};
}

// Refuses the image (ExitImage): says which refusal, and that nothing was sent.
int RefuseImage(Outputs& outputs, const std::string& image, std::string_view verdict, const std::string& why)
{
    const std::string text = "image " + image + " refused (" + std::string(verdict) + "): " + why;
    std::fprintf(stderr, "ftpupg-cli: %s; nothing was sent\n", rtl::MaskLines(text).c_str());
    outputs.log->Line("refused: " + text);
    return ExitImage;
}

// With trusted keys: the image's signature, checked on the hash taken in the image's one
// read. Every refusal comes before any device is contacted.
int CheckSignature(const UpgradeArgs& args, Outputs& outputs, const std::vector<TrustedKey>& keys,
                   const std::optional<ImageSignature>& signature, Prepared& prepared)
{
    const SignatureCheck check = VerifySignature(*prepared.image->Blake2b(), *signature, keys);
    if (check.verdict != SignatureVerdict::Verified)
        return RefuseImage(outputs, args.image, VerdictName(check.verdict), check.message);
    std::vector<std::string> models;
    for (const auto& model : check.models)
        models.push_back(rtl::SafeText(model));
    prepared.reportImage.signature = {true, check.keyId, rtl::SafeText(check.trustedComment), models};
    return ExitDone;
}

// The image, refused before anything is sent (ExitImage), then --skip-done (ExitUsage).
int Prepare(const UpgradeArgs& args, Outputs& outputs, Selection& selection, Prepared& prepared)
{
    std::vector<TrustedKey> keys;
    if (const auto error = ReadTrustedKeys(TrustedKeyFiles(args), keys); !error.empty()) return UsageError(error);
    std::optional<ImageSignature> signature;
    if (keys.empty() && !args.signature.empty())
        selection.warnings.push_back("warning: --signature is not checked without --trusted-key");
    struct stat st {};
    // A missing image is told as such by the image's own check below.
    if (!keys.empty() && ::stat(args.image.c_str(), &st) == 0) {
        // Read first: an unsigned image is refused without reading it.
        const std::string path = args.signature.empty() ? args.image + ".minisig" : args.signature;
        std::string text;
        try {
            text = ReadWhole(path);
        } catch (const std::exception& e) {
            return RefuseImage(outputs, args.image, VerdictName(SignatureVerdict::Unsigned),
                               std::string("no signature: ") + e.what());
        }
        std::string error;
        signature = ParseSignature(text, error);
        if (!signature)
            return RefuseImage(outputs, args.image, VerdictName(SignatureVerdict::Malformed),
                               "the signature " + path + " is " + error);
    }
    try {
        prepared.image.emplace(args.image, signature.has_value());
        const uint64_t size = prepared.image->Size();
        const uint64_t blocks = BlocksFor(size, args.blockSize);
        prepared.reportImage = {args.image, size, prepared.image->Sha256(), blocks, blocks > 65535};
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s; nothing was sent\n", e.what());
        outputs.log->Line(std::string("refused: ") + e.what());
        return ExitImage;
    }
    if (!selection.resumedSha256.empty() && selection.resumedSha256 != prepared.reportImage.sha256) {
        const std::string text = "--resume: the image changed since the run of " + args.resume + ": " +
                                 args.image + " has SHA-256 " + prepared.reportImage.sha256 + ", the run wrote " +
                                 selection.resumedSha256;
        std::fprintf(stderr, "ftpupg-cli: %s; nothing was sent\n", rtl::MaskLines(text).c_str());
        outputs.log->Line("refused: " + text);
        return ExitImage;
    }
    // The image appeared only after the look for it: its signature was never read.
    if (!keys.empty() && !signature)
        return RefuseImage(outputs, args.image, VerdictName(SignatureVerdict::Unsigned), "no signature was read");
    if (signature)
        if (const int code = CheckSignature(args, outputs, keys, signature, prepared); code != ExitDone)
            return code;
    if (const auto error = SignatureChanged(selection, prepared.reportImage.signature); !error.empty()) {
        const std::string text = "--resume: " + error + " since the run of " + args.resume;
        std::fprintf(stderr, "ftpupg-cli: %s; nothing was sent\n", rtl::MaskLines(text).c_str());
        outputs.log->Line("refused: " + text);
        return ExitImage;
    }
    if (args.skipDone.empty()) return ExitDone;
    try {
        prepared.doneEarlier =
            ReadDoneEarlier(ReadWhole(args.skipDone), prepared.reportImage.sha256, args.skipDone);
    } catch (const std::exception& e) {
        return UsageError(std::string(args.resume.empty() ? "--skip-done: " : "--resume: ") + e.what());
    }
    if (!prepared.doneEarlier->note.empty())
        selection.warnings.push_back("warning: --skip-done: " + prepared.doneEarlier->note);
    return ExitDone;
}

// What the report says of the run besides its devices, as far as known before it starts.
ReportRun RunRecord(const UpgradeArgs& args, const Selection& selection)
{
    ReportRun run{rtl::Version, UtcNow(),    {}, args.all ? "all" : !args.ipsFile.empty() ? "ips" : "ip",
                  false,        std::nullopt};
    if (!selection.resumedSelection.empty()) run.selection = selection.resumedSelection;
    run.ipsFile = Absolute(args.ipsFile);
    run.passwordFile = args.password ? "" : Absolute(args.passwordFile);
    run.log = Absolute(args.log);
    run.maxRate = args.maxRate;
    run.resumed = Absolute(args.resume);
    for (const auto& key : args.trustedKeys)
        run.trustedKeys.push_back(Absolute(key));
    run.signature = Absolute(args.signature);
    return run;
}

// The last line says where the run's record is: written, the files that hold it, and the log
// unless writing it failed. False when it did.
bool SayWritten(const UpgradeArgs& args, const Outputs& outputs, std::vector<std::string>& written)
{
    const bool logged = outputs.log->Failure().empty();
    if (!logged)
        std::fprintf(stderr, "ftpupg-cli: --log %s: writing failed (%s); the log is incomplete\n",
                     rtl::MaskLines(args.log).c_str(), outputs.log->Failure().c_str());
    else if (!args.log.empty())
        written.push_back("the log " + args.log);
    if (!written.empty())
        std::fprintf(outputs.out, "written: %s\n",
                     rtl::MaskLines(written.size() == 1 ? written[0] : written[0] + " and " + written[1]).c_str());
    return logged;
}

// Runs the fleet and reports: the summary, the JSON report, the log. Returns the exit status.
int RunAndReport(const UpgradeArgs& args, Outputs& outputs, Selection& selection, const Prepared& prepared,
                 FleetStop& stop)
{
    const auto [width, height] = TerminalSize(::fileno(outputs.out));
    ConsoleView view(outputs.out, outputs.live, width, height, prepared.image->Size(), *outputs.log);
    SayImage(view, args, prepared.reportImage);
    for (const auto& w : selection.warnings)
        view.Say(w);

    FleetOptions opts = FleetOptionsFor(args, selection);
    std::optional<RateShare> rate;
    if (args.maxRate > 0) {
        try {
            rate.emplace(args.maxRate);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ftpupg-cli: %s; nothing was sent\n", e.what());
            return ExitFailed;
        }
        opts.job.rate = &*rate;
        view.Say("at most " + FormatBits(args.maxRate) +
                 " for all transfers together, shared among those running");
    }
    opts.job.models = prepared.reportImage.signature.models;
    // Without the right to pin, another host answering ARP for an address could take its image.
    opts.job.pin = !args.dryRun && posix::MayChangeNeighbours();
    if (!args.dryRun && !opts.job.pin)
        view.Say(
            "warning: no right to change the neighbour table (root or CAP_NET_ADMIN): device addresses are "
            "not pinned to the checked hardware addresses during the transfers");
    ReportRun run = RunRecord(args, selection);
    if (outputs.report && !outputs.report->InPlace() && !args.all) {
        // The devices are known before the discovery: the report is current from here on. With
        // --all they are not, and an earlier report stays until they are.
        MarkDoneEarlier(prepared.doneEarlier, opts.targets);
        Checkpoint(args, outputs, run, prepared.reportImage, opts, Unstarted(opts.targets), view);
    }
    DiscoverFleet(args, prepared.doneEarlier, stop, view, run, opts);
    outputs.log->Line("upgrade of " + std::to_string(opts.targets.size()) + " device(s) with " + args.image +
                      (args.dryRun ? " (dry run)" : ""));

    view.Expect(opts.targets.size());
    if (outputs.report && !outputs.report->InPlace())
        opts.checkpoint = [&](const std::vector<DeviceReport>& devices) {
            Checkpoint(args, outputs, run, prepared.reportImage, opts, devices, view);
        };
    bool interrupted = false;
    const auto devices = RunFleet(opts, *prepared.image, view, stop, interrupted);
    WarnAboutLostAnswers(view, devices);
    view.Close();
    run.finished = UtcNow();
    run.interrupted = interrupted;

    std::fprintf(outputs.out, "\n%s%s%s\n", SummaryTable(devices, args.waitBack > 0).c_str(),
                 interrupted ? "interrupted: " : "", CountLine(devices).c_str());
    if (const auto partial = PartialWriteWarning(devices, prepared.image->Size()); !partial.empty())
        std::fprintf(outputs.out, "%s\n", partial.c_str());
    std::fflush(outputs.out);
    outputs.log->Line((interrupted ? "interrupted: " : "finished: ") + CountLine(devices));

    int code = ExitStatusOf(devices, interrupted);
    std::vector<std::string> written; // files that hold this run's record
    const bool reported =
        args.json.empty() ||
        WriteReport(args, outputs, BuildReport(run, prepared.reportImage, opts, devices), written);
    const bool logged = SayWritten(args, outputs, written);
    if (code == ExitDone && !(reported && logged)) code = ExitFailed;
    return code;
}

// The options that choose the devices, one of them to a run.
void AddDeviceOptions(CLI::App& upgrade, UpgradeArgs& args)
{
    auto* devices = upgrade.add_option_group("Devices");
    devices->add_option("--ip", args.ips, "A device's IPv4 address; repeat for more devices")->type_name("IP");
    devices
        ->add_option("--ips", args.ipsFile,
                     "Address list: one device per line, ADDRESS [LABEL] [@PASSWORD-FILE] (- for stdin; "
                     "see below)")
        ->type_name("FILE");
    devices->add_flag("--all", args.all, "Every device that answers discovery");
    devices
        ->add_option("--resume", args.resume,
                     "The run of an earlier JSON report again: its image (refused if it changed), devices and "
                     "options (those given here win), skipping the devices done; the report is written anew")
        ->type_name("REPORT");
    devices->set_help_flag(); // the command has it
    devices->require_option(1);
}

// The parser's own words for a broken device choice list the options but not the rule. It
// checks the choice before it looks for words it did not know, which are named first still.
void SayDeviceChoice(CLI::App& app, const CLI::App& upgrade)
{
    const auto* devices = upgrade.get_option_group("Devices");
    app.failure_message([&upgrade, devices](const CLI::App* from, const CLI::Error& e) {
        size_t used = 0;
        for (const CLI::Option* option : devices->get_options())
            used += option->count() > 0 ? 1 : 0;
        if (dynamic_cast<const CLI::RequiredError*>(&e) == nullptr || !upgrade.parsed() || used == 1)
            return CLI::FailureMessage::simple(from, e);
        if (const auto unknown = from->remaining(true); !unknown.empty())
            return CLI::FailureMessage::simple(from, CLI::ExtrasError(unknown));
        return std::string(
            "ftpupg-cli: give exactly one of --ip, --ips, --all or --resume\n"
            "Run with --help for more information.\n");
    });
}

// TFTP and rollout settings; their defaults are shown as the parser reads them from args.
void AddTransferOptions(CLI::App& upgrade, UpgradeArgs& args)
{
    upgrade.add_option("--jobs", args.jobs, "Devices upgraded at once")
        ->check(CLI::Range(1, ::upgrade::MaxJobs))
        ->type_name("N")
        ->capture_default_str();
    upgrade.add_option("--blksize", args.blockSize, "TFTP block size")
        ->check(CLI::Range(8, tftp::MaxBlockSize))
        ->type_name("N")
        ->capture_default_str();
    upgrade
        .add_option("--timeout", args.timeoutMs,
                    "Longest TFTP wait for a reply in ms: the retransmission timer doubles up to it from the "
                    "measured round trip; " +
                        std::to_string(::upgrade::Tries) +
                        " such whole waits in a row without progress are a time-out")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS")
        ->capture_default_str();
    upgrade
        .add_option("--windowsize", args.windowSize,
                    "TFTP blocks sent before waiting for an acknowledgement (RFC 7440); a device that does not "
                    "know the option takes one at a time")
        ->check(CLI::Range(1, 65535))
        ->type_name("N")
        ->capture_default_str();
    upgrade.add_option("--wait", args.waitMs, "Wait for discovery and password answers, in ms")
        ->check(CLI::Range(1, 600000))
        ->type_name("MS")
        ->capture_default_str();
    upgrade
        .add_option("--retries", args.retries,
                    "Try a device again from discovery after a time-out or TFTP error, up to N more times")
        ->check(CLI::Range(0, 100))
        ->type_name("N")
        ->capture_default_str();
    upgrade
        .add_option("--wait-back", args.waitBack,
                    "After the write, wait up to SECONDS for the device to restart: fall silent, then answer "
                    "again from the same hardware address")
        ->check(CLI::Range(0, 3600))
        ->type_name("SECONDS");
    upgrade
        .add_option("--canary", args.canary,
                    "Upgrade the first N devices first; go on only if all of them are done (and came back)")
        ->check(CLI::Range(0, 100000))
        ->type_name("N");
    upgrade
        .add_option("--max-failures", args.maxFailures,
                    "Start no further device once K devices failed (0: no limit); running ones finish")
        ->check(CLI::Range(0, 100000))
        ->type_name("K")
        ->capture_default_str();
    upgrade
        .add_option_function<std::string>(
            "--max-rate",
            [&args](const std::string& text) {
                const auto rate = ParseRate(text);
                if (!rate)
                    throw CLI::ValidationError("--max-rate", "not a rate such as 20M, 800k or 1.5G: " + text);
                args.maxRate = *rate;
            },
            "At most RATE bits per second for all transfers together (k, M, G: 1000s), shared evenly among those "
            "running")
        ->type_name("RATE");
}

// What is written, checked against what, and where the run is recorded.
void AddRunOptions(CLI::App& upgrade, UpgradeArgs& args)
{
    upgrade
        .add_option("--skip-done", args.skipDone,
                    "Skip every device an earlier JSON report gives as done with this image (already-done)")
        ->type_name("REPORT");
    upgrade.add_flag("--dry-run", args.dryRun,
                     "Discovery and password check only; nothing is written (result would-upgrade)");
    upgrade
        .add_option("--json", args.json,
                    "Write the JSON report to FILE (- for standard output); an earlier FILE is kept as FILE.1")
        ->type_name("FILE|-");
    upgrade.add_option("--log", args.log, "Append time-stamped lines to FILE")->type_name("FILE");
    upgrade
        .add_option("--trusted-key", args.trustedKeys,
                    "Write only an image signed (minisign) by this public key; repeat for more keys "
                    "(default: FTPUPG_TRUSTED_KEYS, files separated by ':')")
        ->type_name("KEY.pub");
    upgrade.add_option("--signature", args.signature, "The image's minisign signature (default IMAGE.minisig)")
        ->type_name("FILE");
    upgrade
        .add_option("--trace", args.trace,
                    "Write every datagram sent and received to packet traces for Wireshark in DIR: "
                    "discovery.pcapng for the shared discovery, ADDRESS.pcapng for each device")
        ->type_name("DIR");
}

} // namespace

CLI::App* AddUpgradeCommand(CLI::App& app, UpgradeArgs& args)
{
    auto* upgrade = app.add_subcommand("upgrade", "Write a firmware image to one or many devices");
    upgrade->add_option("--image", args.image, "Firmware image to write (required unless --resume gives it)")
        ->type_name("FILE");
    upgrade
        ->add_option_function<std::string>(
            "--password", [&args](const std::string& text) { args.password = text; },
            "Device password (visible to other users; prefer --password-file or FTPUPG_PASSWORD)")
        ->type_name("TEXT");
    upgrade
        ->add_option("--password-file", args.passwordFile,
                     "The password of devices without a password file of their own: the first line of FILE")
        ->type_name("FILE");
    AddDeviceOptions(*upgrade, args);
    AddTransferOptions(*upgrade, args);
    AddRunOptions(*upgrade, args);
    SayDeviceChoice(app, *upgrade);
    // --resume takes from its report what the command line does not give.
    upgrade->callback([&args, upgrade] {
        const auto* devices = upgrade->get_option_group("Devices");
        for (const CLI::App* part : {static_cast<const CLI::App*>(upgrade), devices})
            for (const auto* option : part->get_options())
                if (option->count() > 0) args.given.insert(option->get_name(false, true));
    });
    return upgrade;
}

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "ftpupg-cli: %s\nRun with --help for more information.\n", rtl::MaskLines(text).c_str());
    return ExitUsage;
}

int RunUpgrade(UpgradeArgs args)
{
    Selection selection;
    if (!args.resume.empty()) {
        if (const auto error = ApplyResume(args, selection); !error.empty()) return UsageError(error);
    } else {
        if (args.image.empty()) return UsageError("--image is required (unless --resume gives it)");
        if (!args.all)
            if (const auto error = ReadTargets(args, selection); !error.empty()) return UsageError(error);
    }
    if (const auto error = TakePasswords(args, selection); !error.empty()) return UsageError(error);

    Outputs outputs;
    if (const auto error = CheckOutputs(args, outputs); !error.empty()) return UsageError(error);
    try {
        if (!args.trace.empty()) PrepareTraceDir(args.trace);
    } catch (const std::exception& e) {
        return UsageError(e.what());
    }

    // From here on a stop signal ends the run with a report instead of killing it.
    std::optional<FleetStop> stop;
    try {
        stop.emplace();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftpupg-cli: %s\n", e.what());
        return ExitFailed;
    }
    Prepared prepared;
    if (const int code = Prepare(args, outputs, selection, prepared); code != ExitDone) return code;
    return RunAndReport(args, outputs, selection, prepared, *stop);
}

} // namespace fleet
