// What the simulated device answers to request frames, and its hardware address texts.
#include "devmsg/wire/DeviceFrames.h"
#include "sim/DeviceResponder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

using namespace devmsg::frames;
using Frame = std::vector<uint8_t>; // a request frame or reply record

using namespace sim;

TEST(DeviceResponderTest, AnswersDiscoveryInTheConfiguredForms)
{
    DeviceConfig config;
    config.answer20 = true;
    config.extraProtocols = {33, 99};
    config.ipText = "127.1.2.3";
    config.discoveryDelayMs = 40;
    const auto replies = PlanReplies(config, BuildDiscoveryRequest());
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[0].record[RepProtocol], 17);
    EXPECT_EQ(replies[1].record[RepProtocol], 20);
    EXPECT_EQ(replies[2].record[RepProtocol], 33);
    EXPECT_EQ(replies[3].record[RepProtocol], 99);
    EXPECT_EQ(replies[0].delayMs, 40);
    EXPECT_EQ(ReplyIpText(replies[1].record), "127.1.2.3");
    EXPECT_EQ(ReplyName(replies[1].record), "KR730");
    config.answerDiscovery = false;
    EXPECT_TRUE(PlanReplies(config, BuildDiscoveryRequest()).empty());
}

TEST(DeviceResponderTest, ChecksMacPasswordAndEchoWord)
{
    DeviceConfig config;
    config.password = "pw";
    config.refuseResult = 7;
    config.refuseStatus = 3;
    const Frame v1 = BuildDiscoveryAnswer(config, 17);
    const Frame v4 = BuildDiscoveryAnswer(config, 20);
    auto answer = [&](const Frame& frame) {
        const auto replies = PlanReplies(config, frame);
        return replies.empty() ? -1 : int(ReplyResult(replies[0].record)) << 16 | ReplyStatus(replies[0].record);
    };
    EXPECT_EQ(answer(BuildPasswordRequest(v1, "pw", 65)), 0);
    EXPECT_EQ(answer(BuildPasswordRequest(v4, "pw", 68)), 0);
    EXPECT_EQ(answer(BuildPasswordRequest(v1, "px", 65)), 7 << 16 | 3);
    EXPECT_EQ(answer(BuildPasswordRequest(v1, "pw", 68)), 2 << 16); // echo word missing
    Frame other = v1;
    other[RepMac + 5] ^= 1;
    EXPECT_EQ(answer(BuildPasswordRequest(other, "pw", 65)), -1);
    EXPECT_EQ(answer(Frame(831, 0)), -1);
    EXPECT_EQ(PlanReplies(config, BuildPasswordRequest(v1, "pw", 65))[0].record[RepProtocol], 65);
}

TEST(DeviceResponderTest, MalformedAnswersOnRequest)
{
    DeviceConfig config;
    config.nameUnterminated = true;
    config.replyLength = 30;
    config.ipText = std::string("123456789012345678");
    const auto replies = PlanReplies(config, BuildDiscoveryRequest());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].record.size(), 30u);
    EXPECT_EQ(ReplyIpText(replies[0].record), "1234567890123456");
    const Frame full = BuildDiscoveryAnswer(config, 17);
    EXPECT_EQ(std::count(full.begin() + RepName, full.end(), 0), 0);
    EXPECT_EQ(ParseMac("00:1B:7a:00:00:0f"), (std::array<uint8_t, 6>{0, 0x1b, 0x7a, 0, 0, 0x0f}));
    EXPECT_FALSE(ParseMac("00:1b:7a:00:00"));
    EXPECT_FALSE(ParseMac("00:1b:7a:00:00:0f:"));
}
