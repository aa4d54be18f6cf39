// The shared POSIX helpers: descriptor ownership, bound sockets and their address texts
// (runs inside a private loopback namespace).
#include <gtest/gtest.h>

#include "posix/Fd.h"
#include "posix/Udp.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <stdexcept>
#include <string>

namespace {

bool IsOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

int SocketOption(int fd, int option)
{
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(fd, SOL_SOCKET, option, &value, &length);
    return value;
}

std::string ErrorOf(auto&& call)
{
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(PosixFd, ClosesOnceAndMovesOwnership)
{
    int raw[2];
    ASSERT_EQ(::pipe(raw), 0);
    {
        posix::Fd a(raw[0]);
        posix::Fd b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.Get(), raw[0]);
        posix::Fd c(raw[1]);
        c = std::move(b); // c's own descriptor closes, b's moves in
        EXPECT_FALSE(IsOpen(raw[1]));
        EXPECT_TRUE(IsOpen(raw[0]));
        c = std::move(c);
        EXPECT_TRUE(IsOpen(raw[0]));
        const int kept = c.Release();
        EXPECT_FALSE(c);
        EXPECT_EQ(kept, raw[0]);
    }
    EXPECT_TRUE(IsOpen(raw[0])) << "a released descriptor is not closed";
    posix::Fd(raw[0]).Reset();
    EXPECT_FALSE(IsOpen(raw[0]));
}

TEST(PosixUdp, BindsTheAddressAndTellsItsPort)
{
    posix::Fd fd = posix::BindUdp("127.0.0.3", 0);
    const std::uint16_t port = posix::LocalPort(fd.Get());
    ASSERT_NE(port, 0);
    EXPECT_TRUE(::fcntl(fd.Get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(SocketOption(fd.Get(), SO_BROADCAST), 0);
    EXPECT_EQ(posix::AddrText(posix::MakeAddr("127.0.0.3", port)), "127.0.0.3:" + std::to_string(port));

    // The port is taken now: a second socket needs both to share it.
    EXPECT_NE(ErrorOf([&] { posix::BindUdp("127.0.0.3", port); }).find("bind 127.0.0.3:" + std::to_string(port)),
              std::string::npos);
    posix::Fd first = posix::BindUdp("127.0.0.4", 0, {.reuseAddress = true});
    const std::uint16_t shared = posix::LocalPort(first.Get());
    posix::Fd second = posix::BindUdp("127.0.0.4", shared, {.reuseAddress = true, .broadcast = true});
    EXPECT_EQ(posix::LocalPort(second.Get()), shared);
    EXPECT_NE(SocketOption(second.Get(), SO_BROADCAST), 0);
    EXPECT_EQ(posix::LocalPort(-1), 0);
}

TEST(PosixUdp, RefusesTextsThatAreNotDottedAddresses)
{
    for (const char* bad : {"", "localhost", "127.0.0", "127.0.0.1:69", "::1", "256.0.0.1"}) {
        EXPECT_EQ(ErrorOf([&] { posix::MakeAddr(bad, 1); }), std::string("not an IPv4 address: ") + bad);
        EXPECT_EQ(ErrorOf([&] { posix::BindUdp(bad, 0); }), std::string("not an IPv4 address: ") + bad);
    }
    EXPECT_EQ(posix::AddrText(posix::MakeAddr("0.0.0.0", 65535)), "0.0.0.0:65535");
}
