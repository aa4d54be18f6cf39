// Asks the system to forget its neighbour (ARP) entry for the device before discovery,
// so that a device that changed its hardware address is reached at once.
#pragma once

#include <string>

// Starts the clearing detached and returns at once; the result is never looked at.
// The IP text travels as one argument (never through a shell), whatever it holds.
// FTPUPG_ARP_COMMAND names a replacement program, called as: PROGRAM -d IPTEXT.
void ClearNeighbourEntry(const std::string& ipText);
