// The device library's socket-free parts: settings from the environment, broadcast
// targets and the reply queue.
#include "tests/devmsg/DevmsgTestSupport.h"

#include "devmsg/NdxlCore.h"
#include "devmsg/wire/NdxlWire.h"
#include "devmsg/wire/DeviceFrames.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <numeric>

using namespace devmsg::frames;
using Frame = std::vector<uint8_t>; // a request frame or reply record

TEST(NdxlCoreTest, SettingsFromTheEnvironmentValues)
{
    std::string error;
    auto s = devmsg::ParseSettings(nullptr, "", nullptr, error);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->broadcast);
    EXPECT_EQ(s->port, devmsg::wire::DefaultPort);
    EXPECT_EQ(s->localPort, 0);
    s = devmsg::ParseSettings("127.255.255.255", "4000", "0", error);
    ASSERT_TRUE(s);
    EXPECT_EQ(*s->broadcast, 0x7fffffffu);
    EXPECT_EQ(s->port, 4000);
    for (auto [b, p, l] : {std::tuple{"127.255.255", "", ""},
                           {"localhost", "", ""},
                           {"", "0", ""},
                           {"", "65536", ""},
                           {"", "12x", ""},
                           {"", "", "-1"}}) {
        error.clear();
        EXPECT_FALSE(devmsg::ParseSettings(b, p, l, error)) << b << p << l;
        EXPECT_FALSE(error.empty());
    }
    // The reason names the variable at fault.
    devmsg::ParseSettings("", "0", "", error);
    EXPECT_EQ(error, "NDXL_PORT is not a port number: 0");
    devmsg::ParseSettings("", "", "x", error);
    EXPECT_EQ(error, "NDXL_LOCAL_PORT is not a port number: x");
}

TEST(NdxlCoreTest, BroadcastTargetsAreUpIpv4BroadcastInterfacesOnce)
{
    const unsigned ok = IFF_UP | IFF_BROADCAST;
    const std::vector<devmsg::InterfaceEntry> list = {{IFF_UP | IFF_LOOPBACK, true, std::nullopt},
                                                      {ok, true, 0x0a0000ffu},
                                                      {IFF_BROADCAST, true, 0x0b0000ffu},
                                                      {ok, false, 0x0c0000ffu},
                                                      {ok, true, 0x0a0000ffu},
                                                      {ok, true, 0xc0a801ffu},
                                                      {ok, true, std::nullopt}};
    EXPECT_EQ(devmsg::BroadcastTargets(list), (std::vector<uint32_t>{0x0a0000ffu, 0xc0a801ffu}));
}

TEST(NdxlCoreTest, ReplyQueueIsBoundedCutsLongRecordsAndZeroFillsShortOnes)
{
    devmsg::ReplyQueue queue(3);
    EXPECT_TRUE(queue.Push(Frame{1, 2, 3}));
    EXPECT_TRUE(queue.Push(Frame(900, 7)));
    EXPECT_TRUE(queue.Push({}));
    EXPECT_FALSE(queue.Push(Frame{9}));
    EXPECT_EQ(queue.Size(), 3u);
    Frame out(801, 0xee);
    ASSERT_TRUE(queue.Pop(out.data()));
    EXPECT_EQ(Frame(out.begin(), out.begin() + 4), (Frame{1, 2, 3, 0}));
    EXPECT_TRUE(std::all_of(out.begin() + 3, out.begin() + 800, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(out[800], 0xee); // never more than 800 bytes
    ASSERT_TRUE(queue.Pop(out.data()));
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 800, [](uint8_t b) { return b == 7; }));
    EXPECT_EQ(out[800], 0xee);
    ASSERT_TRUE(queue.Pop(out.data()));
    EXPECT_FALSE(queue.Pop(out.data()));
}
