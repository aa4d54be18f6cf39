// The shared POSIX helpers: descriptor ownership, bound sockets and their address texts,
// the port file and the share option (runs inside a private loopback namespace).
#include <gtest/gtest.h>

#include "posix/Fd.h"
#include "posix/ProgramSupport.h"
#include "posix/Udp.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

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

TEST(PosixProgram, PortFileAppearsWholeOrNotAtAll)
{
    const fs::path dir = fs::temp_directory_path() / ("posix-test-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = (dir / "port").string();
    posix::WritePortFile(path, 6969);
    posix::WritePortFile(path, 69); // replaces, never appends
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "69\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    const std::string missing = (dir / "no-such-dir" / "port").string();
    EXPECT_NE(ErrorOf([&] { posix::WritePortFile(missing, 1); }).find("port file " + missing), std::string::npos);
    EXPECT_FALSE(fs::exists(missing));
    fs::remove_all(dir);
}

TEST(PosixProgram, ShareIsANumberFromZeroToOne)
{
    EXPECT_EQ(posix::ParseShare("0"), 0.0);
    EXPECT_EQ(posix::ParseShare("1"), 1.0);
    EXPECT_EQ(posix::ParseShare("0.25"), 0.25);
    EXPECT_EQ(posix::ParseShare("1e-1"), 0.1);
    for (const char* bad : {"", "-0.1", "1.01", "0.5x", "x", "nan", " ", "inf"})
        EXPECT_FALSE(posix::ParseShare(bad)) << '"' << bad << '"';
}

TEST(PosixProgram, BadShareOptionExitsWithUsageStatus)
{
    EXPECT_EQ(posix::ShareOption("prog", "--drop", "0.5"), 0.5);
    EXPECT_EXIT(posix::ShareOption("prog", "--drop", "2"), ::testing::ExitedWithCode(2),
                "prog: bad share for --drop: 2");
}
