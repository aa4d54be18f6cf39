// What keeping the fleet's report current costs: after each of N devices ends, (a) the whole
// report rewritten (built, written, synced, renamed into place, its folder synced), as
// ftpupg-cli does, against (b) one line per device appended to a journal and synced. Runs in
// a folder given on the command line (the file system the reports go to).
//   ftpupg-report-checkpoint FOLDER [DEVICES...]   (default 64 256)
#include "cli/Fleet.h"
#include "cli/Report.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

fleet::DeviceReport Device(size_t i)
{
    fleet::DeviceReport d;
    d.ip = "127.1." + std::to_string(i / 200) + "." + std::to_string(10 + i % 200);
    d.attempts = 1;
    d.device = fleet::DeviceEntry{d.ip, "02:7f:01:00:0a:00", "KR730", {17}};
    d.stages = {{fleet::Stage::Check, 1, 2}, {fleet::Stage::Transfer, 2, 3}, {fleet::Stage::WaitBack, 3, 4}};
    return d;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [DEVICES...]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    std::vector<size_t> sizes;
    for (int i = 2; i < argc; ++i)
        sizes.push_back(std::stoul(argv[i]));
    if (sizes.empty()) sizes = {64, 256};
    std::printf(
        "| devices | report bytes at the end | rewrite: total ms | rewrite: median ms | rewrite: MiB "
        "written | journal: total ms | journal: median ms |\n|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const size_t n : sizes) {
        std::vector<fleet::DeviceReport> devices;
        for (size_t i = 0; i < n; ++i)
            devices.push_back(Device(i));
        fleet::FleetOptions opts;
        fleet::ReportRun run{"bench", fleet::UtcNow(), fleet::UtcNow(), "all", false, std::nullopt};
        run.complete = false;
        const fleet::ReportImage image{"img.bin", 1 << 20, std::string(64, 'a'), 1025, false};
        const std::string path = folder + "/checkpoint-bench.json";
        std::vector<double> rewrite, journal;
        uint64_t written = 0;
        size_t last = 0;
        {
            fleet::ReportFile file(path);
            const auto all = Clock::now();
            for (size_t i = 0; i < n; ++i) {
                devices[i].result = fleet::Result::Done;
                devices[i].transfer.acknowledgedBytes = 1 << 20;
                const auto t0 = Clock::now();
                const std::string text = fleet::BuildReport(run, image, opts, devices).dump(2) + "\n";
                file.Commit(text);
                rewrite.push_back(Ms(t0));
                written += text.size();
                last = text.size();
            }
            rewrite.insert(rewrite.begin(), Ms(all));
        }
        ::unlink(path.c_str());
        const std::string log = folder + "/checkpoint-bench.jsonl";
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        const auto all = Clock::now();
        for (size_t i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            const std::string line =
                fleet::BuildReport(run, image, opts, {devices[i]})["devices"][0].dump() + "\n";
            if (::write(fd, line.data(), line.size()) < 0 || ::fdatasync(fd) != 0) return 1;
            journal.push_back(Ms(t0));
        }
        const double journalTotal = Ms(all);
        ::close(fd);
        ::unlink(log.c_str());
        const double rewriteTotal = rewrite.front();
        rewrite.erase(rewrite.begin());
        std::printf("| %zu | %zu | %.0f | %.2f | %.1f | %.0f | %.2f |\n", n, last, rewriteTotal, Median(rewrite),
                    static_cast<double>(written) / (1 << 20), journalTotal, Median(journal));
    }
    return 0;
}
