// ftpupg-cli discover: the devices that answer one discovery, as a table or JSON.
#pragma once

#include "upgrade/UpgradePolicy.h"

#include <string>

namespace CLI {
class App;
}

namespace fleet {

struct DiscoverArgs {
    int waitMs = upgrade::ToolAnswerWaitMs;
    bool json = false;
    std::string traceDir; // where discovery.pcapng goes; empty: no trace
};

// Adds the command and its options to app; they read into args.
CLI::App* AddDiscoverCommand(CLI::App& app, DiscoverArgs& args);

// Returns the exit status: ExitDone when a device answered, ExitFailed when none did.
int RunDiscover(const DiscoverArgs& args);

} // namespace fleet
