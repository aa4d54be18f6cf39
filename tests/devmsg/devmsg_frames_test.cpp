// Frames, reply fields, datagram framing, library settings and queue, the simulated
// device's answers and the diagnostic writer: everything that needs no socket.
#include "tests/devmsg/DevmsgTestSupport.h"

#include "devmsg/wire/DeviceFrames.h"
#include "sim/DeviceResponder.h"
#include "devmsg/NdxlCore.h"
#include "devmsg/wire/NdxlWire.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <numeric>

using namespace devmsg::frames;
using Frame = std::vector<uint8_t>; // a request frame or reply record

using namespace sim;

namespace {

Frame Reply(uint8_t protocol, const std::string& ip = "127.0.0.7", const std::string& name = "KR730")
{
    Frame r(ReplySize, 0);
    std::copy(ip.begin(), ip.end(), r.begin());
    const uint8_t mac[6] = {0x00, 0x1b, 0x7a, 0x12, 0x34, 0x56};
    std::copy(std::begin(mac), std::end(mac), r.begin() + RepMac);
    r[RepProtocol] = protocol;
    std::copy(name.begin(), name.end(), r.begin() + RepName);
    r[RepEcho] = 0xd4, r[RepEcho + 1] = 0xc3, r[RepEcho + 2] = 0xb2, r[RepEcho + 3] = 0xa1;
    return r;
}

bool AllZeroExcept(const Frame& frame, std::initializer_list<std::pair<size_t, size_t>> ranges)
{
    for (size_t i = 0; i < frame.size(); ++i) {
        bool inside = false;
        for (auto [from, size] : ranges)
            inside = inside || (i >= from && i < from + size);
        if (!inside && frame[i] != 0) return false;
    }
    return true;
}

} // namespace

TEST(DeviceFramesTest, DiscoveryRequestIsProtocol17Operation0AndOtherwiseZero)
{
    const Frame frame = BuildDiscoveryRequest();
    ASSERT_EQ(frame.size(), 832u);
    EXPECT_EQ(frame[6], 17);
    EXPECT_EQ(frame[7], 0);
    EXPECT_TRUE(AllZeroExcept(frame, {{6, 1}}));
}

TEST(DeviceFramesTest, PasswordRequestAfterProtocol17)
{
    const Frame frame = BuildPasswordRequest(Reply(17), "secret", PasswordProtocolFor(17));
    ASSERT_EQ(frame.size(), 832u);
    EXPECT_EQ(Frame(frame.begin(), frame.begin() + 6), (Frame{0x00, 0x1b, 0x7a, 0x12, 0x34, 0x56}));
    EXPECT_EQ(frame[6], 65);
    EXPECT_EQ(frame[7], 16);
    EXPECT_EQ(std::string(frame.begin() + 8, frame.begin() + 20), std::string("secret\0\0\0\0\0\0", 12));
    // No echo word for 65; 16-bit value, 33-byte block and the rest zero.
    EXPECT_TRUE(AllZeroExcept(frame, {{0, 6}, {6, 2}, {8, 6}}));
}

TEST(DeviceFramesTest, PasswordRequestAfterProtocol20CarriesTheEchoWordUnchanged)
{
    const Frame frame = BuildPasswordRequest(Reply(20), "", PasswordProtocolFor(20));
    EXPECT_EQ(frame[6], 68);
    EXPECT_EQ(frame[7], 16);
    EXPECT_EQ(Frame(frame.begin() + 198, frame.begin() + 202), (Frame{0xd4, 0xc3, 0xb2, 0xa1}));
    // Empty password: the field is all zero.
    EXPECT_TRUE(AllZeroExcept(frame, {{0, 6}, {6, 2}, {198, 4}}));
}

TEST(DeviceFramesTest, PasswordFieldHoldsAtMost12BytesAndNothingSpillsOver)
{
    const Frame exact = BuildPasswordRequest(Reply(17), "abcdefghijkl", 65);
    EXPECT_EQ(std::string(exact.begin() + 8, exact.begin() + 20), "abcdefghijkl");
    const Frame longer = BuildPasswordRequest(Reply(17), "abcdefghijklMNOPQRSTUVWXYZ", 65);
    EXPECT_EQ(longer, exact);
    EXPECT_EQ(PasswordProtocolFor(33), 0);
}

TEST(DeviceFramesTest, PasswordRequestFromATruncatedReplyReadsMissingBytesAsZero)
{
    Frame reply = Reply(20);
    reply.resize(19); // MAC cut after three bytes, no echo word
    const Frame frame = BuildPasswordRequest(reply, "pw", 68);
    EXPECT_EQ(Frame(frame.begin(), frame.begin() + 6), (Frame{0x00, 0x1b, 0x7a, 0, 0, 0}));
    EXPECT_EQ(Frame(frame.begin() + 198, frame.begin() + 202), (Frame{0, 0, 0, 0}));
}

TEST(DeviceFramesTest, ReplyTextsStayWithinTheirFields)
{
    Frame reply = Reply(17, "127.000.000.100X", "dev");
    reply[RepMac] = 'M';
    EXPECT_EQ(ReplyIpText(reply), "127.000.000.100X"); // 16 bytes, no zero byte: cut at the field's end
    EXPECT_EQ(ReplyName(reply), "dev");
    std::fill(reply.begin() + RepName, reply.end(), 'n');
    EXPECT_EQ(ReplyName(reply), std::string(800 - 32, 'n'));
    EXPECT_EQ(ReplyIpText(Frame{'1', '.', '2'}), "1.2");
    EXPECT_EQ(ReplyName(Frame(20, 'x')), "");
    EXPECT_EQ(ReplyIpText({}), "");
}

TEST(DeviceFramesTest, ResultAndStatusAreLittleEndianAndZeroPastTheEnd)
{
    Frame reply = Reply(65);
    reply[24] = 0x34, reply[25] = 0x12, reply[26] = 0xff, reply[27] = 0xfe;
    EXPECT_EQ(ReplyResult(reply), 0x1234);
    EXPECT_EQ(ReplyStatus(reply), 0xfeff);
    reply.resize(25);
    EXPECT_EQ(ReplyResult(reply), 0x34);
    EXPECT_EQ(ReplyStatus(reply), 0);
}

TEST(NdxlWireTest, RequestsRoundTripAndAnythingElseIsRejected)
{
    const Frame frame = BuildDiscoveryRequest();
    Frame datagram = devmsg::wire::WrapRequest("Dorvik-long-tag", frame.data());
    ASSERT_EQ(datagram.size(), devmsg::wire::RequestDatagramSize);
    auto request = devmsg::wire::UnwrapRequest(datagram);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->vendor, "Dorvik-l");
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), request->frame.begin(), request->frame.end()));

    EXPECT_FALSE(devmsg::wire::UnwrapReply(datagram)); // a request is not a reply
    Frame shortened(datagram.begin(), datagram.end() - 1);
    EXPECT_FALSE(devmsg::wire::UnwrapRequest(shortened));
    for (size_t at : {0u, 3u, 4u, 5u}) {
        Frame bad = datagram;
        bad[at] ^= 0x40;
        EXPECT_FALSE(devmsg::wire::UnwrapRequest(bad)) << at;
    }
}

TEST(NdxlWireTest, RepliesOfAnyLengthAfterTheHeader)
{
    EXPECT_EQ(devmsg::wire::UnwrapReply(devmsg::wire::WrapReply({}))->size(), 0u);
    const Frame record = Reply(17);
    EXPECT_EQ(devmsg::wire::UnwrapReply(devmsg::wire::WrapReply(record))->size(), 800u);
    EXPECT_FALSE(devmsg::wire::UnwrapReply(Frame{'N', 'D', 'X', 'L', 1, 2, 0}));
    EXPECT_FALSE(devmsg::wire::UnwrapReply(Frame{'N', 'D', 'X', 'L', 2, 2, 0, 0}));
}

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
    config.ipText = "123456789012345678";
    config.nameUnterminated = true;
    config.replyLength = 30;
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

TEST(DebugPrintTest, WritesExactlyTheFormattedTextInOneWrite)
{
    StderrCapture capture;
    DebugPrint("[NDXL]Response prot=%x op=%x\n", 17, 96);
    DebugPrint("%s", "");
    DebugPrint("[APDP]Found device IP=%s name=\"%s\"", "127.0.0.7", "KR730");
    DebugPrint("[WDCP]Resule %8X, %4X \n", 1u, 0u);
    DebugPrint("[WDCP]Resule %8X, %4X \n", 0xffffu, 0xabcdu);
    const std::string big(5000, 'z');
    DebugPrint("%s|", big.c_str());
    EXPECT_EQ(capture.Text(),
              "[NDXL]Response prot=11 op=60\n"
              "[APDP]Found device IP=127.0.0.7 name=\"KR730\""
              "[WDCP]Resule        1,    0 \n"
              "[WDCP]Resule     FFFF, ABCD \n" +
                  big + "|");
}

// The handlers on records placed in ReplyBuffer directly; with the library closed every send fails
// quietly, which the exchange does not look at.
class ExchangeOfflineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeviceFound = PasswordAccepted = 0;
        host.ip = "127.0.0.7";
        host.password = "pw";
    }
    void Load(const Frame& record) { std::copy(record.begin(), record.end(), ReplyBuffer); }
    TestHost host;
    TestHost& exchange = host;
};

TEST_F(ExchangeOfflineTest, MatchIsExactText)
{
    StderrCapture capture;
    for (const char* ip : {"127.0.0.7 ", "0127.0.0.7", "127.0.0.70", "127.0.0."}) {
        Load(Reply(17, ip));
        exchange.OnAPDPResponse(ReplyBuffer);
    }
    EXPECT_EQ(DeviceFound, 0);
    Load(Reply(20, "127.0.0.7", "n"));
    exchange.OnAPDPResponsev4(ReplyBuffer);
    EXPECT_EQ(DeviceFound, 1);
    EXPECT_EQ(PasswordAccepted, 0);
    EXPECT_EQ(capture.Text(),
              "[APDP]Found device IP=127.0.0.7  name=\"KR730\""
              "[APDP]Found device IP=0127.0.0.7 name=\"KR730\""
              "[APDP]Found device IP=127.0.0.70 name=\"KR730\""
              "[APDP]Found device IP=127.0.0. name=\"KR730\""
              "[APDP]Found device IP=127.0.0.7 name=\"n\"");
}

TEST_F(ExchangeOfflineTest, PasswordAnswersSetTheFlagOrShowOneBoxEach)
{
    StderrCapture capture;
    Frame reply = Reply(68);
    Load(reply);
    exchange.OnWDCPResponse(ReplyBuffer);
    EXPECT_EQ(PasswordAccepted, 1);
    PasswordAccepted = 0;
    reply[24] = 1;
    // The box's loop overwrites the buffer with an accepted answer before the handler returns.
    host.whileBoxOpen = [this] {
        Load(Reply(65));
        exchange.OnWDCPResponse(ReplyBuffer);
    };
    Load(reply);
    exchange.OnWDCPResponse(ReplyBuffer);
    EXPECT_EQ(PasswordAccepted, 1);
    EXPECT_EQ(host.messages, std::vector<std::string>{"Invalid Password !"});
    EXPECT_EQ(capture.Text(), "[WDCP]Resule        1,    0 \n");
}
