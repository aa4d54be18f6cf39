#include "posix/Udp.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace posix {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void Enable(int fd, int option, const char* name)
{
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, option, &on, sizeof on) != 0) ThrowErrno(name);
}

} // namespace

sockaddr_in MakeAddr(const std::string& address, std::uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1)
        throw std::runtime_error("not an IPv4 address: " + address);
    return result;
}

std::string AddrText(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

Fd BindUdp(const std::string& address, std::uint16_t port, BindOptions options)
{
    const sockaddr_in local = MakeAddr(address, port);
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) ThrowErrno("socket");
    if (options.reuseAddress) Enable(fd.Get(), SO_REUSEADDR, "SO_REUSEADDR");
    if (options.broadcast) Enable(fd.Get(), SO_BROADCAST, "SO_BROADCAST");
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        ThrowErrno("bind " + AddrText(local));
    return fd;
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

} // namespace posix
