// The upgrade's rules as tables: one row per sequence of replies or way a transfer ended,
// one column per policy (the window's, the command-line tools').
#include "upgrade/DeviceCheck.h"
#include "devmsg/wire/DeviceFrames.h"
#include "upgrade/Result.h"
#include "upgrade/TransferVerdict.h"

#include <gtest/gtest.h>

#include <string>
#include <set>
#include <vector>

using namespace upgrade;
using Frame = std::vector<uint8_t>; // a request frame or reply record
using State = DeviceCheck::State;

namespace {

Frame Record(uint8_t protocol, const std::string& ip = "127.0.0.1", uint16_t result = 0, uint8_t macLast = 0x01,
             uint16_t status = 0)
{
    using namespace devmsg::frames;
    Frame r(ReplySize, 0);
    std::copy(ip.begin(), ip.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(ip.size(), RepIpSize)),
              r.begin());
    const uint8_t mac[6] = {0x00, 0x1b, 0x7a, 0x00, 0x00, macLast};
    std::copy(std::begin(mac), std::end(mac), r.begin() + RepMac);
    r[RepProtocol] = protocol;
    r[RepResult] = static_cast<uint8_t>(result & 0xff);
    r[RepResult + 1] = static_cast<uint8_t>(result >> 8);
    r[RepStatus] = static_cast<uint8_t>(status & 0xff);
    r[RepStatus + 1] = static_cast<uint8_t>(status >> 8);
    const std::string name = "KR730";
    std::copy(name.begin(), name.end(), r.begin() + RepName);
    r[RepEcho] = 0xd4, r[RepEcho + 1] = 0xc3, r[RepEcho + 2] = 0xb2, r[RepEcho + 3] = 0xa1;
    return r;
}

// What one policy did with a row's replies.
struct Seen {
    std::vector<std::string> sent; // "65@01": password protocol and the asked MAC's last byte
    int boxes = 0;                 // refusals the front end shows
    State state = State::Searching;
    bool settled = false;
    int strays = 0; // password answers ignored as another device's
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* os)
{
    *os << "sent{";
    for (const auto& f : s.sent)
        *os << f << " ";
    *os << "} boxes=" << s.boxes << " state=" << static_cast<int>(s.state) << " settled=" << s.settled
        << " strays=" << s.strays;
}

Seen Feed(Policy policy, const std::vector<Frame>& replies, const std::string& typed = "127.0.0.1")
{
    DeviceCheck check(policy);
    Seen seen;
    for (const Frame& reply : replies) {
        const CheckStep step = check.OnReply(reply, typed, "pw");
        for (const Frame& frame : step.send) {
            char text[16];
            std::snprintf(text, sizeof text, "%u@%02x", frame[devmsg::frames::ReqProtocol],
                          frame[devmsg::frames::ReqMac + 5]);
            seen.sent.push_back(text);
        }
        seen.boxes += step.refused ? 1 : 0;
        seen.strays += step.stray ? 1 : 0;
        EXPECT_EQ(step.found,
                  devmsg::frames::IsDiscoveryAnswer(reply) && devmsg::frames::ReplyIpText(reply) == typed);
    }
    seen.state = check.state();
    seen.settled = check.Settled();
    return seen;
}

struct CheckRow {
    const char* name;
    std::vector<Frame> replies;
    Seen window;
    Seen tool;
};

} // namespace

TEST(DeviceCheckTest, RepliesAndWhatEachPolicyDoes)
{
    const Frame d17 = Record(17), d20 = Record(20);
    const Frame ok65 = Record(65), ok68 = Record(68), no65 = Record(65, "127.0.0.1", 1),
                no68 = Record(68, "127.0.0.1", 1);
    const std::vector<CheckRow> rows = {
        {"no answer", {}, {}, {}},
        // Devices are matched by their own text, byte for byte: any other spelling is another device.
        {"other addresses",
         {Record(17, "127.0.0.10"), Record(17, "127.0.0.1 "), Record(20, "0127.0.0.1"), Record(17, "127.0.0."),
          Record(17, "")},
         {},
         {}},
        {"one form accepted",
         {d17, ok65},
         {{"65@01"}, 0, State::Accepted, true},
         {{"65@01"}, 0, State::Accepted, true}},
        {"second form", {d20, ok68}, {{"68@01"}, 0, State::Accepted, true}, {{"68@01"}, 0, State::Accepted, true}},
        // The one real difference: the window asks for every matching answer, the tool once per form.
        {"repeated answer",
         {d17, d17, d17},
         {{"65@01", "65@01", "65@01"}, 0, State::Asked, false},
         {{"65@01"}, 0, State::Asked, false}},
        {"both forms",
         {d17, d20},
         {{"65@01", "68@01"}, 0, State::Asked, false},
         {{"65@01", "68@01"}, 0, State::Asked, false}},
        // Two devices that report the same address: the window asks both, the tool the first.
        {"two devices, one address",
         {Record(17, "127.0.0.1", 0, 0x02), Record(17, "127.0.0.1", 0, 0x03), Record(65, "127.0.0.1", 1, 0x03),
          Record(65, "127.0.0.1", 0, 0x02)},
         {{"65@02", "65@03"}, 1, State::Accepted, true},
         {{"65@02"}, 0, State::Accepted, true, 1}},
        // Devices that share a hardware address all answer a request for it: the tool counts
        // only the answer of the address and hardware address it found.
        {"another address's acceptance, then the device's refusal",
         {d17, Record(65, "127.0.0.2"), no65},
         {{"65@01"}, 1, State::Accepted, true},
         {{"65@01"}, 1, State::Refused, true, 1}},
        {"acceptance from another hardware address",
         {d17, Record(65, "127.0.0.1", 0, 0x09), Record(68, "", 0)},
         {{"65@01"}, 0, State::Accepted, true},
         {{"65@01"}, 0, State::Asked, false, 2}},
        {"refused", {d17, no65}, {{"65@01"}, 1, State::Refused, true}, {{"65@01"}, 1, State::Refused, true}},
        {"both forms refused: one box each",
         {d17, d20, no65, no68},
         {{"65@01", "68@01"}, 2, State::Refused, true},
         {{"65@01", "68@01"}, 2, State::Refused, true}},
        // A refusal settles the tool's check only when no request is left unanswered.
        {"refused, then the other form accepts",
         {d17, d20, no65, ok68},
         {{"65@01", "68@01"}, 1, State::Accepted, true},
         {{"65@01", "68@01"}, 1, State::Accepted, true}},
        {"refused, the other form silent",
         {d17, d20, no65},
         {{"65@01", "68@01"}, 1, State::Refused, true},
         {{"65@01", "68@01"}, 1, State::Refused, false}},
        // Any acceptance wins; the window still shows a later refusal, the tool is done.
        {"accepted, then refused",
         {d17, ok65, no65},
         {{"65@01"}, 1, State::Accepted, true},
         {{"65@01"}, 0, State::Accepted, true}},
        {"answers after the acceptance",
         {d17, ok65, d17, d20},
         {{"65@01", "65@01", "68@01"}, 0, State::Accepted, true},
         {{"65@01"}, 0, State::Accepted, true}},
        // The window counts whatever password answer comes; the tool's socket only hears its device.
        {"password answer before any request", {ok65}, {{}, 0, State::Accepted, true}, {}},
        {"refusal before any request", {no68}, {{}, 1, State::Refused, true}, {}},
        {"found, password silent",
         {d17},
         {{"65@01"}, 0, State::Asked, false},
         {{"65@01"}, 0, State::Asked, false}},
        {"other protocols change nothing",
         {Record(33), Record(96), Record(0x63), Record(0), d17, Record(33), ok65},
         {{"65@01"}, 0, State::Accepted, true},
         {{"65@01"}, 0, State::Accepted, true}},
    };
    for (const CheckRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Feed(Policy::Window, row.replies), row.window);
        EXPECT_EQ(Feed(Policy::Tool, row.replies), row.tool);
    }
}

TEST(DeviceCheckTest, RequestsCarryTheAnswersMacThePasswordAndForTheSecondFormTheEchoWord)
{
    for (const Policy policy : {Policy::Window, Policy::Tool}) {
        DeviceCheck check(policy);
        auto step = check.OnReply(Record(17, "127.0.0.1", 0, 0x0a), "127.0.0.1", "pw");
        ASSERT_EQ(step.send.size(), 1u);
        const Frame& first = step.send[0];
        EXPECT_EQ(first.size(), devmsg::frames::RequestSize);
        EXPECT_EQ(first[devmsg::frames::ReqProtocol], 65);
        EXPECT_EQ(first[devmsg::frames::ReqOperation], 16);
        EXPECT_EQ(Frame(first.begin(), first.begin() + 6), (Frame{0x00, 0x1b, 0x7a, 0, 0, 0x0a}));
        EXPECT_EQ(std::string(first.begin() + devmsg::frames::ReqPassword,
                              first.begin() + devmsg::frames::ReqPassword + 12),
                  std::string("pw\0\0\0\0\0\0\0\0\0\0", 12));
        step = check.OnReply(Record(20, "127.0.0.1", 0, 0x0a), "127.0.0.1", "pw");
        ASSERT_EQ(step.send.size(), 1u);
        EXPECT_EQ(step.send[0][devmsg::frames::ReqProtocol], 68);
        EXPECT_EQ(Frame(step.send[0].begin() + 198, step.send[0].begin() + 202), (Frame{0xd4, 0xc3, 0xb2, 0xa1}));
        EXPECT_EQ(check.FirstAnswer(), Record(17, "127.0.0.1", 0, 0x0a));
        EXPECT_EQ(check.Forms(), (Frame{17, 20}));
    }
}

TEST(DeviceCheckTest, TheWindowsHandlerNamesTheFormAndARefusalKeepsItsValues)
{
    // The window's handler of the first form is called with whatever record the buffer holds.
    DeviceCheck window(Policy::Window);
    const auto step = window.OnDiscoveryAnswer(Record(0x63), 17, "127.0.0.1", "pw");
    ASSERT_EQ(step.send.size(), 1u);
    EXPECT_EQ(step.send[0][devmsg::frames::ReqProtocol], 65);
    const auto refusal = window.OnPasswordAnswer(Record(65, "", 0xbeef, 1, 0x2a));
    EXPECT_TRUE(refusal.refused);
    EXPECT_EQ(refusal.result, 0xbeef);
    EXPECT_EQ(refusal.status, 0x2a);
    EXPECT_EQ(window.refusal(), 0xbeef);
    EXPECT_EQ(window.refusalStatus(), 0x2a);
    // A long, unterminated address text still matches exactly.
    EXPECT_TRUE(AnswersFrom(Record(20, "127.000.000.0002"), "127.000.000.0002"));
    EXPECT_FALSE(AnswersFrom(Record(65, "127.0.0.1"), "127.0.0.1")); // a password answer is no device
}

TEST(TransferVerdictTest, HowTheUploadEndedAndWhatEachPolicyCallsIt)
{
    using How = TransferEnd::How;
    using R = Result;
    struct Row {
        TransferEnd end;
        R window, tool;
    };
    const std::vector<Row> rows = {
        {{How::Returned, true}, R::Done, R::Done},
        // The client's time-out after the last block ends it normally: the window moves on, a
        // tool says the device may or may not hold its whole image.
        {{How::Returned, false}, R::Done, R::Unconfirmed},
        {{How::TftpFailure, false}, R::TftpError, R::TftpError},
        {{How::TimedOut, false}, R::Timeout, R::Timeout},
        {{How::TimedOut, false, true}, R::Timeout, R::Unconfirmed}, // the last block went out
        {{How::TftpFailure, false, true}, R::TftpError, R::TftpError},
        {{How::OtherFailure, false}, R::LocalError, R::LocalError},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.end.how) * 100 + row.end.lastBlockAcknowledged * 10 +
                     row.end.lastBlockSent);
        EXPECT_EQ(JudgeTransfer(Policy::Window, row.end, "x").result, row.window);
        EXPECT_EQ(JudgeTransfer(Policy::Tool, row.end, "x").result, row.tool);
    }
    EXPECT_EQ(JudgeTransfer(Policy::Tool, {How::Returned, false}).message, text::LastBlockUnconfirmed);
    EXPECT_EQ(JudgeTransfer(Policy::Tool, {How::TftpFailure, false}, "TFTP error 2").message, "TFTP error 2");
    // Every failure kind, before and after the last block went out: only a time-out after it
    // is unconfirmed; what the server refused stays refused, a local failure stays ours.
    using K = tftp::FailureKind;
    const std::vector<std::pair<K, R>> kinds = {
        {K::Timeout, R::Timeout},         {K::ServerError, R::TftpError}, {K::BadBlockSize, R::TftpError},
        {K::BadWindowSize, R::TftpError}, {K::NotANumber, R::TftpError},  {K::BadOption, R::TftpError},
        {K::Local, R::LocalError},
    };
    for (const auto& [kind, result] : kinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        EXPECT_EQ(JudgeFailure(Policy::Tool, kind, false, "x").result, result);
        EXPECT_EQ(JudgeFailure(Policy::Tool, kind, true, "x").result,
                  kind == K::Timeout ? R::Unconfirmed : result);
        EXPECT_EQ(JudgeFailure(Policy::Tool, kind, false, "x").message, "x");
    }
}

TEST(ResultTest, EveryResultHasOneNameThatReadsBack)
{
    std::set<std::string_view> names;
    for (int r = 0; r <= static_cast<int>(LastResult); ++r) {
        const auto result = static_cast<Result>(r);
        const std::string_view name = ResultName(result);
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(ResultFromName(name), result) << name;
    }
    EXPECT_EQ(ResultName(Result::TftpError), "tftp-error");
    EXPECT_EQ(ResultName(Result::LocalError), "local-error");
    EXPECT_EQ(ResultName(Result::AlreadyDone), "already-done");
    EXPECT_FALSE(ResultFromName("error"));
    EXPECT_FALSE(ResultFromName("finished"));
    EXPECT_FALSE(ResultFromName(""));
}
