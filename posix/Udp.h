// IPv4 datagram sockets bound to a given address, and the address texts of log lines.
#pragma once

#include "posix/Fd.h"

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace posix {

struct BindOptions {
    bool reuseAddress = false; // several sockets share the port (broadcast receivers)
    bool broadcast = false;    // may send to a broadcast address
};

// "a.b.c.d" and a port (host order) as a socket address; throws std::runtime_error naming
// the text when it is not a dotted IPv4 address.
sockaddr_in MakeAddr(const std::string& address, std::uint16_t port);
// "a.b.c.d:port".
std::string AddrText(const sockaddr_in& address);
// A datagram socket (close-on-exec) bound to address:port; port 0 takes a free one.
// Throws std::runtime_error naming the call, the address and the system's reason.
Fd BindUdp(const std::string& address, std::uint16_t port, BindOptions options = {});
// The port a socket is bound to; 0 when it cannot be told.
std::uint16_t LocalPort(int fd);

} // namespace posix
