// Asks the system to forget its neighbour (ARP) entry for the device before discovery,
// so that a device that changed its hardware address is reached at once.
#pragma once

#include "rtl/DottedIPv4.h"

#include <string>
#include <string_view>

namespace posix {

// Starts the clearing detached and returns at once; the result is never looked at.
// Only a text that names one host (IsDottedIPv4Host) starts anything: the command reads
// "default" or a prefix as a whole range of entries. The IP text travels as one argument,
// never through a shell. FTPUPG_ARP_COMMAND names a replacement program, called as:
// PROGRAM -d IPTEXT.
void ClearNeighbourEntry(const std::string& ipText);

} // namespace posix
