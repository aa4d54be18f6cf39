// ftpupg-cli discover: the devices that answer one discovery, as a table or JSON.
#pragma once

#include <string>

namespace fleet {

// Returns the exit status: ExitDone when a device answered, ExitFailed when none did.
// traceDir: where discovery.pcapng goes (empty: no trace).
int RunDiscover(int waitMs, bool json, const std::string& traceDir = {});

} // namespace fleet
