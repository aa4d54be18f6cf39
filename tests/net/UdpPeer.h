// A plain loopback UDP socket for tests: the other end of an endpoint under test.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

class UdpPeer {
public:
    struct Datagram {
        std::string bytes;
        sockaddr_in from{};
        int FromPort() const { return ntohs(from.sin_port); }
    };

    explicit UdpPeer(const char* ip = "127.0.0.1")
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip, &address.sin_addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("peer socket");
        socklen_t length = sizeof address_;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length);
    }
    ~UdpPeer() { ::close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    int Port() const { return ntohs(address_.sin_port); }

    // The next datagram, or none within ms.
    std::optional<Datagram> Receive(int ms = 2000)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return std::nullopt;
        Datagram d;
        d.bytes.resize(70000);
        socklen_t length = sizeof d.from;
        const ssize_t n =
            ::recvfrom(fd_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&d.from), &length);
        if (n < 0) return std::nullopt;
        d.bytes.resize(static_cast<size_t>(n));
        return d;
    }

    void SendTo(const sockaddr_in& to, const std::string& bytes)
    {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    void SendTo(int port, const std::string& bytes)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        SendTo(to, bytes);
    }

private:
    int fd_ = -1;
    sockaddr_in address_{};
};
