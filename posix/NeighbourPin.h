// Ties a device's IPv4 address to the hardware address that passed its check, for as long
// as something is written to it: a permanent neighbour entry on the interface the route to
// it takes, so that no other host answering ARP for the address gets a byte meanwhile.
#pragma once

#include <optional>
#include <string>

namespace posix {

// Whether this process may change the neighbour table (CAP_NET_ADMIN in effect).
bool MayChangeNeighbours();

// The interface the route to ip leaves by, when it is one that resolves neighbours (ARP);
// nullopt for an address of this host or one with no route.
std::optional<std::string> NeighbourInterface(const std::string& ip);

// Removes the entry for ip on dev, whatever state it is in. True when it is gone.
bool RemoveNeighbour(const std::string& ip, const std::string& dev);

class NeighbourPin {
public:
    // Sets the entry (replacing a learnt one). Throws std::runtime_error naming why not: no
    // permission, no route, the command failed.
    NeighbourPin(std::string ip, const std::string& mac, std::string dev);
    ~NeighbourPin() { Release(); }
    NeighbourPin(const NeighbourPin&) = delete;
    NeighbourPin& operator=(const NeighbourPin&) = delete;

    const std::string& Interface() const { return dev_; }
    // Removes the entry now; the next packet to the address resolves it anew.
    void Release();

private:
    std::string ip_;
    std::string dev_;
    bool held_ = false;
};

} // namespace posix
