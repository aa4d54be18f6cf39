// The shared POSIX helpers: descriptor ownership, bound sockets and their address texts
// (runs inside a private loopback namespace).
#include <gtest/gtest.h>

#include "posix/Fd.h"
#include "posix/PacketTrace.h"
#include "posix/Udp.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cstring>
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
        // The moved-from state is what is tested here.
        EXPECT_FALSE(a); // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(b.Get(), raw[0]);
        posix::Fd c(raw[1]);
        c = std::move(b); // c's own descriptor closes, b's moves in
        EXPECT_FALSE(IsOpen(raw[1]));
        EXPECT_TRUE(IsOpen(raw[0]));
        c = std::move(c);
        EXPECT_TRUE(IsOpen(raw[0]));
        const int kept = c.Release(); // NOLINT(bugprone-use-after-move): a self-move keeps the descriptor
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

namespace {

uint32_t Word(const std::vector<uint8_t>& bytes, size_t at)
{
    uint32_t value = 0;
    std::memcpy(&value, &bytes[at], sizeof value);
    return value;
}

} // namespace

// The blocks readers rely on: lengths repeated at both ends and a multiple of 4, the raw
// IPv4 link type, headers a receiver would accept (checksum, lengths, who sent to whom), the
// direction in the flags.
TEST(PacketTrace, EncodesBlocksAndHeadersAReaderAccepts)
{
    using namespace posix::pcapng;
    const std::vector<uint8_t> start = SectionStart("test 1.0");
    ASSERT_EQ(start.size() % 4, 0u);
    const uint32_t shbLength = Word(start, 4);
    EXPECT_EQ(Word(start, 0), 0x0A0D0D0Au);
    EXPECT_EQ(Word(start, 8), 0x1A2B3C4Du);
    EXPECT_EQ(Word(start, shbLength - 4), shbLength);
    EXPECT_EQ(Word(start, shbLength), 1u); // interface description
    EXPECT_EQ(Word(start, shbLength + 8) & 0xFFFF, LinkTypeRaw);
    EXPECT_EQ(Word(start, start.size() - 4), start.size() - shbLength);

    const uint8_t head[] = {0, 3, 0, 1};
    const uint8_t body[] = {'a', 'b', 'c'};
    for (const bool sent : {true, false})
        for (const size_t bodySize : {size_t{0}, size_t{1}, size_t{3}}) {
            SCOPED_TRACE(std::to_string(sent) + " " + std::to_string(bodySize));
            const posix::SeenDatagram d{sent, {0x7F000001, 40000}, {0x7F000002, 69}, head, {body, bodySize}};
            std::vector<uint8_t> out;
            AppendPacket(out, d, d.local, 1'700'000'000'123'456, 7);
            ASSERT_EQ(out.size() % 4, 0u);
            EXPECT_EQ(Word(out, 0), 6u);
            EXPECT_EQ(Word(out, 4), out.size());
            EXPECT_EQ(Word(out, out.size() - 4), out.size());
            const uint64_t time = uint64_t{Word(out, 12)} << 32 | Word(out, 16);
            EXPECT_EQ(time, 1'700'000'000'123'456u);
            const size_t captured = Word(out, 20);
            EXPECT_EQ(captured, HeadersSize + sizeof head + bodySize);
            const std::span<const uint8_t> ip(&out[28], captured);
            EXPECT_EQ(Checksum(ip.first(20)), 0); // a header with its checksum sums to all ones
            EXPECT_EQ(ip[0], 0x45);
            EXPECT_EQ(ip[9], 17);
            EXPECT_EQ(size_t{ip[2]} << 8 | ip[3], captured);
            EXPECT_EQ(size_t{ip[24]} << 8 | ip[25], captured - 20);
            const uint8_t* source = &ip[12];
            EXPECT_EQ(source[3], sent ? 1 : 2);
            EXPECT_EQ(uint16_t(ip[20] << 8 | ip[21]), sent ? 40000 : 69);
            EXPECT_EQ(std::memcmp(&ip[28], head, sizeof head), 0);
            EXPECT_EQ(std::memcmp(&ip[32], body, bodySize), 0);
            const size_t options = 28 + ((captured + 3) & ~size_t{3});
            EXPECT_EQ(Word(out, options), 0x00040002u); // epb_flags, 4 bytes
            EXPECT_EQ(Word(out, options + 4), sent ? 2u : 1u);
        }
    // A block's data cut to what the trace keeps: the headers and the original length count
    // all of it, the capture only what was kept.
    const uint8_t block[100] = {};
    const posix::SeenDatagram data{true, {1, 2}, {3, 4}, head, block};
    std::vector<uint8_t> cut;
    AppendPacket(cut, data, data.local, 0, 0, 32);
    EXPECT_EQ(Word(cut, 20), HeadersSize + sizeof head + 32);
    EXPECT_EQ(Word(cut, 24), HeadersSize + sizeof head + sizeof block);
    EXPECT_EQ(size_t{cut[30]} << 8 | cut[31], HeadersSize + sizeof head + sizeof block);
    EXPECT_EQ(cut.size(), 28 + 64 + 12 + 4);
    // RFC 1071's usual example header.
    const uint8_t header[] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                              0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(Checksum(header), 0xb861);
}
