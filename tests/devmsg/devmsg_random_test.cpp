// Random and cut reply records through the exchange's handlers, and random datagrams through
// the library's receiver into the exchange. Nothing a device sends may crash or read out of
// bounds (run under ASan+UBSan too). Fixed seeds: a failure repeats.
#include "tests/devmsg/DevmsgTestSupport.h"

#include "devmsg/wire/DeviceFrames.h"
#include "devmsg/wire/NdxlWire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <random>

using Frame = std::vector<uint8_t>; // a request frame or reply record

namespace {

// Mostly plausible records (a known protocol, printable texts, sometimes unterminated), some noise.
Frame RandomRecord(std::mt19937& rng, size_t maxSize)
{
    std::uniform_int_distribution<size_t> size(0, maxSize);
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 9), printable(32, 126);
    Frame record(size(rng));
    for (auto& b : record)
        b = static_cast<uint8_t>(pick(rng) < 5 ? printable(rng) : byte(rng));
    static const uint8_t protocols[] = {17, 20, 33, 65, 68, 96};
    if (record.size() > devmsg::frames::RepProtocol && pick(rng) < 8)
        record[devmsg::frames::RepProtocol] = protocols[static_cast<size_t>(pick(rng)) % 6];
    if (record.size() > 16 && pick(rng) < 5) {
        const std::string ip = "127.1.0." + std::to_string(pick(rng));
        std::fill(record.begin(), record.begin() + 16, 0);
        std::copy(ip.begin(), ip.end(), record.begin());
    }
    if (record.size() > 25 && pick(rng) < 3) record[24] = record[25] = 0; // accepted
    return record;
}

} // namespace

TEST(RandomRepliesTest, HandlersSurviveAnyRecord)
{
    std::mt19937 rng(1725);
    TestHost host;
    host.password = "pw";
    TestHost& exchange = host;
    StderrCapture capture; // the handlers' lines are not checked here
    for (int i = 0; i < 20000; ++i) {
        DeviceFound = PasswordAccepted = 0;
        const Frame record = RandomRecord(rng, 800);
        std::fill(std::begin(ReplyBuffer), std::end(ReplyBuffer), 0);
        std::copy(record.begin(), record.end(), ReplyBuffer);
        const std::string ip = devmsg::frames::ReplyIpText(record);
        ASSERT_LE(ip.size(), 16u);
        host.ip = (i % 2 == 0) ? ip : "127.1.0.1";
        switch (ReplyBuffer[devmsg::frames::RepProtocol] % 3) {
        case 0: exchange.OnAPDPResponse(ReplyBuffer); break;
        case 1: exchange.OnAPDPResponsev4(ReplyBuffer); break;
        default: {
            const size_t before = host.messages.size();
            exchange.OnWDCPResponse(ReplyBuffer);
            EXPECT_EQ(PasswordAccepted == 1, devmsg::frames::ReplyResult(record) == 0);
            EXPECT_EQ(host.messages.size() - before, PasswordAccepted == 1 ? 0u : 1u);
            continue;
        }
        }
        ASSERT_EQ(DeviceFound == 1, host.ip == ip) << i;
    }
}

TEST(RandomRepliesTest, RandomDatagramsThroughTheLibrary)
{
    ::setenv("NDXL_BROADCAST", "127.255.255.255", 1);
    ::setenv("NDXL_LOCAL_PORT", "17251", 1);
    NotifyQueue queue;
    const NDXL_Window window = queue.Window();
    ASSERT_EQ(devmsg::OpenDeviceLibrary(window), 0);
    TestHost host;
    host.ip = "127.1.0.3";
    TestHost& exchange = host;

    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in library{};
    library.sin_family = AF_INET;
    library.sin_port = htons(17251);
    library.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    std::mt19937 rng(20);
    std::uniform_int_distribution<int> coin(0, 3);
    size_t framed = 0;
    StderrCapture capture;
    for (int batch = 0; batch < 20; ++batch) {
        size_t expected = 0;
        for (int i = 0; i < 100; ++i) {
            Frame datagram;
            const int kind = coin(rng);
            if (kind == 0) {
                datagram = RandomRecord(rng, 40); // rarely carries our header
            } else {
                datagram = devmsg::wire::WrapReply(RandomRecord(rng, kind == 3 ? 1100 : 800));
                ++expected;
            }
            ASSERT_GE(::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&library),
                               sizeof library),
                      0);
        }
        framed += expected;
        size_t handled = 0;
        queue.Pump(
            PatienceMs,
            [&](const NotifyQueue::Message& m) {
                ++handled;
                exchange.OnWM_NDXL_Notify(m.wParam);
            },
            [&] { return queue.Posted() >= framed && handled >= expected; });
        ASSERT_GE(handled, expected) << "batch " << batch;
    }
    ::close(fd);
    devmsg::CloseDeviceLibrary();
    ::unsetenv("NDXL_LOCAL_PORT");
}
