// ftpupg-cli discover: the devices that answer one discovery, as a table or JSON.
#pragma once

namespace fleet {

// Returns the exit status: ExitDone when a device answered, ExitFailed when none did.
int RunDiscover(int waitMs, bool json);

} // namespace fleet
