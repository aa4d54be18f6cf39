// Times whole upgrades through the real main window: "GO" to the finished state, the
// transfer alone, and the longest gap between two handled window events while it runs.
// Needs a simulated device on 127.0.0.2 (bench/upgrade-bench.sh starts one).
#include "app/Application.h"
#include "app/MainForm.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Run {
    double total = 0;    // "GO" pressed to finished state, ms
    double transfer = 0; // first work event to finished state, ms
    double longestGap = 0;
};

Run UpgradeOnce(const std::string& password)
{
    TForm1 form;
    form.show();
    QCoreApplication::processEvents();
    form.lePW->setText(QString::fromStdString(password));

    QElapsedTimer clock;
    double firstWork = -1, finished = -1, last = -1, longestGap = 0;
    const auto work = form.tftp1.OnWork;
    form.tftp1.OnWork = [&](TIdComponent* s, TWorkMode m, int32_t n) {
        if (firstWork < 0) firstWork = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        work(s, m, n);
    };
    const auto workEnd = form.tftp1.OnWorkEnd;
    form.tftp1.OnWorkEnd = [&](TIdComponent* s, TWorkMode m) {
        workEnd(s, m);
        finished = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    };
    // A timer that is due every millisecond: each tick is one handled window event.
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double now = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        if (firstWork >= 0 && finished < 0 && last >= 0) longestGap = std::max(longestGap, now - last);
        last = now;
    });
    ticker.start(1);
    clock.start();
    form.btUpgradeClick();
    ticker.stop();
    if (!form.btFinish->isVisible()) {
        std::fprintf(stderr, "upgrade did not finish\n");
        std::exit(1);
    }
    return {finished, finished - firstWork, longestGap};
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: ftpupg-upgrade-bench IMAGE RUNS [PASSWORD]\n");
        return 2;
    }
    const std::string image = std::filesystem::absolute(argv[1]).string();
    const int runs = std::max(1, std::atoi(argv[2]));
    const std::string password = argc > 3 ? argv[3] : "bench";

    const auto dir = std::filesystem::temp_directory_path() / "ftpupg-upgrade-bench";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    std::ofstream("FTPUPG.ini") << "[Data]\nIP=127.0.0.2\nPath1=" << image << "\n";
    std::ofstream("note1.txt") << "bench\n";
    std::ofstream("note2.txt") << "done\n";

    TApplication application(argc, argv);
    SetMessageBoxHook([](const char* kind, const std::string& text) {
        std::fprintf(stderr, "unexpected %s box: %s\n", kind, text.c_str());
        std::exit(1);
    });
    std::vector<double> totals, transfers, gaps;
    for (int i = 0; i < runs; ++i) {
        const Run r = UpgradeOnce(password);
        totals.push_back(r.total);
        transfers.push_back(r.transfer);
        gaps.push_back(r.longestGap);
        std::printf("run %d: GO to finished %.1f ms, transfer %.1f ms, longest event gap %.2f ms\n", i + 1,
                    r.total, r.transfer, r.longestGap);
    }
    std::printf("median: GO to finished %.1f ms, transfer %.1f ms, longest event gap %.2f ms (max %.2f)\n",
                Median(totals), Median(transfers), Median(gaps), *std::max_element(gaps.begin(), gaps.end()));
    return 0;
}
