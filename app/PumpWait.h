// The upgrade's half-second wait, during which the device's answers are handled.
#pragma once

#include <cstdint>

// Dispatches every event of the thread for the given milliseconds, then returns. A quit
// request taken here is lost, as the device tools' wait always did.
void PumpWait(uint32_t milliseconds);
bool InsidePumpWait();
