// ftpupg-cli doctor: gathers what decides whether one device can be upgraded from here (the
// route, the MTU, discovery, ARP, the TFTP port and its answer, the receive buffer) and
// prints the checks of DoctorChecks.h, one line each, or as JSON.
#pragma once

#include "upgrade/UpgradePolicy.h"

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace fleet {

struct DoctorArgs {
    std::string ip;
    int32_t blockSize = upgrade::BlockSize;
    int32_t jobs = ::upgrade::Jobs;
    int32_t waitMs = upgrade::ToolAnswerWaitMs; // for discovery answers and the TFTP answer
    int32_t tftpPort = upgrade::TftpPort;
    bool json = false;
};

// Adds the command and its options to app; they read into args.
CLI::App* AddDoctorCommand(CLI::App& app, DoctorArgs& args);

// 0 when every check passed, 1 otherwise (Outcome.h's ExitDone and ExitFailed).
int RunDoctor(const DoctorArgs& args);

} // namespace fleet
