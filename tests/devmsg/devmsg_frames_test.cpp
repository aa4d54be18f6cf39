// Frames, reply fields and datagram framing, and the window's handlers of replies placed
// directly in the reply buffer: everything that needs no socket.
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
