// ftpupg-cli upgrade: reads and checks what the command line names, checks the outputs, runs
// the fleet and reports.
#pragma once

#include "upgrade/UpgradePolicy.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace fleet {

struct UpgradeArgs {
    std::string image;
    std::optional<std::string> password; // --password, when given
    std::string passwordFile;
    std::vector<std::string> ips;
    std::string ipsFile;
    bool all = false;
    int jobs = ::upgrade::Jobs;
    int blockSize = upgrade::BlockSize;
    int timeoutMs = upgrade::ReceiveTimeoutMs;
    int windowSize = ::upgrade::WindowSize;
    int waitMs = upgrade::ToolAnswerWaitMs;
    int retries = 0;
    int waitBack = 0;
    bool dryRun = false;
    std::string json;
    std::string log;
    int canary = 0;
    int maxFailures = 0;
    std::string skipDone;
    std::vector<std::string> trustedKeys; // --trusted-key; none: FTPUPG_TRUSTED_KEYS
    std::string signature;                // --signature; empty: IMAGE.minisig
    std::string trace;                    // folder of the packet traces; empty: none
    std::string resume;                   // --resume REPORT
    uint64_t maxRate = 0;                 // --max-rate in bits per second; 0: none
    // The options the command line gave (by long name): --resume takes the others from its report.
    std::set<std::string> given;
};

// Adds the command and its options to app; they read into args. The devices are one of
// --ip, --ips, --all or --resume: a command line with none or several of them is refused
// with app's failure message saying so.
CLI::App* AddUpgradeCommand(CLI::App& app, UpgradeArgs& args);

// "ftpupg-cli: TEXT" and where to find help, on standard error; returns ExitUsage.
int UsageError(const std::string& text);

// Returns the exit status (Outcome.h).
int RunUpgrade(UpgradeArgs args);

} // namespace fleet
