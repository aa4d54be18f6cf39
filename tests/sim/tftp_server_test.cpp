// The simulated device's TFTP write server: packet functions with byte vectors, then the
// running server driven by a raw UDP client (runs inside a private loopback namespace).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>

#include "sim/TftpServer.h"

using namespace sim;
using posix::BindUdp;
using posix::Fd;
using posix::MakeAddr;
namespace fs = std::filesystem;
using namespace std::string_view_literals;

namespace {

Packet B(std::initializer_list<int> v)
{
    Packet b;
    for (int x : v)
        b.push_back(static_cast<std::uint8_t>(x));
    return b;
}

Packet Text(std::string_view s)
{
    return Packet(s.begin(), s.end());
}

Packet Cat(Packet a, const Packet& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(TftpPackets, ParsesWriteRequestWithOptions)
{
    auto r = ParseRequest(Cat(B({0, 2}), Text("/\0octet\0blksize\0"
                                              "1024\0tsize\0"
                                              "7\0"sv)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->opcode, OpWrq);
    EXPECT_EQ(r->filename, "/");
    EXPECT_EQ(r->mode, "octet");
    ASSERT_EQ(r->options.size(), 2u);
    EXPECT_EQ(r->options[0], (Option{"blksize", "1024"}));
    EXPECT_EQ(r->options[1], (Option{"tsize", "7"}));
    EXPECT_EQ(BuildWrq("/", "octet", {{"blksize", "1024"}, {"tsize", "7"}}),
              Cat(B({0, 2}), Text("/\0octet\0blksize\0"
                                  "1024\0tsize\0"
                                  "7\0"sv)));
}

TEST(TftpPackets, RejectsBrokenRequestsAndDropsHalfOptions)
{
    EXPECT_FALSE(ParseRequest(B({0, 2})));
    EXPECT_FALSE(ParseRequest(Cat(B({0, 2}), Text("name"))));          // name not ended
    EXPECT_FALSE(ParseRequest(Cat(B({0, 2}), Text("name\0octet"sv)))); // mode not ended
    EXPECT_FALSE(ParseRequest(Cat(B({0, 3}), Text("x\0octet\0"sv))));  // DATA, not a request
    auto r = ParseRequest(Cat(B({0, 1}), Text("f\0netascii\0blksize\0"
                                              "10"sv)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->opcode, OpRrq);
    EXPECT_TRUE(r->options.empty());
    r = ParseRequest(Cat(B({0, 2}), Text("f\0octet\0blksize\0"sv)));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->options.empty());
}

TEST(TftpPackets, BuildsAckErrorOack)
{
    EXPECT_EQ(BuildAck(0xfffe), B({0, 4, 0xff, 0xfe}));
    EXPECT_EQ(BuildError(2, "No"), B({0, 5, 0, 2, 'N', 'o', 0}));
    EXPECT_EQ(BuildOack({{"blksize", "8"}}), Cat(B({0, 6}), Text("blksize\0"
                                                                 "8\0"sv)));
    EXPECT_EQ(BuildData(1, B({9})), B({0, 3, 0, 1, 9}));
}

TEST(TftpNegotiation, BlksizeModes)
{
    Request r{OpWrq, "/", "octet", {{"tsize", "5"}, {"BLKSIZE", "1024"}}};
    Negotiation n = Negotiate(r, BlksizeMode::Accept, 0);
    EXPECT_EQ(n.blksize, 1024u);
    EXPECT_EQ(n.oack, (std::vector<Option>{{"BLKSIZE", "1024"}})); // tsize left unanswered

    n = Negotiate(r, BlksizeMode::Ignore, 0);
    EXPECT_EQ(n.blksize, 512u);
    EXPECT_TRUE(n.oack.empty());

    n = Negotiate(r, BlksizeMode::Answer, 1428);
    EXPECT_EQ(n.blksize, 1428u);
    EXPECT_EQ(n.oack, (std::vector<Option>{{"BLKSIZE", "1428"}}));

    r.options = {{"blksize", "100000"}};
    EXPECT_EQ(Negotiate(r, BlksizeMode::Accept, 0).blksize, MaxBlksize);
    for (const char* bad : {"7", "", "-5", "12a", "99999999999"}) {
        r.options = {{"blksize", bad}};
        n = Negotiate(r, BlksizeMode::Accept, 0);
        EXPECT_EQ(n.blksize, 512u) << bad;
        EXPECT_TRUE(n.oack.empty()) << bad;
    }
    r.options = {};
    EXPECT_TRUE(Negotiate(r, BlksizeMode::Accept, 0).oack.empty());
}

TEST(TftpNegotiation, WindowsizeUpToTheLimit)
{
    struct Case {
        const char* asked;
        std::uint16_t limit;
        std::uint16_t granted; // 1 and no answer when not in the OACK
        bool answered;
    };
    const Case cases[] = {
        {"16", 64, 16, true}, {"64", 64, 64, true}, {"65535", 64, 64, true}, {"1", 64, 1, true},
        {"16", 8, 8, true},   {"16", 0, 1, false},  {"0", 64, 1, false},     {"65536", 64, 1, false},
        {"", 64, 1, false},   {"+4", 64, 1, false}, {"4x", 64, 1, false},    {"999999999", 64, 1, false},
    };
    for (const Case& c : cases) {
        const Request r{OpWrq, "/", "octet", {{"blksize", "1024"}, {"WindowSize", c.asked}}};
        Negotiation n = Negotiate(r, BlksizeMode::Accept, 0, c.limit);
        EXPECT_EQ(n.windowsize, c.granted) << c.asked << " limit " << c.limit;
        std::vector<Option> oack{{"blksize", "1024"}};
        if (c.answered) oack.emplace_back("WindowSize", std::to_string(c.granted)); // in the asked order
        EXPECT_EQ(n.oack, oack) << c.asked << " limit " << c.limit;
    }
    // Without blksize the window alone is acknowledged; a repeated option counts once.
    Request r{OpWrq, "/", "octet", {{"windowsize", "4"}, {"windowsize", "9"}}};
    EXPECT_EQ(Negotiate(r, BlksizeMode::Ignore, 0, 64).oack, (std::vector<Option>{{"windowsize", "4"}}));
    EXPECT_TRUE(Negotiate(r, BlksizeMode::Accept, 0).oack.empty()) << "no limit given: lock-step";
}

// The receiver's answers to a run of events: "n" a full DATA block n, "n." the short last
// one, "T" a time-out. The ACKs expected after each event, "-" for none.
TEST(TftpWriteState, WindowAcknowledgements)
{
    struct Case {
        const char* what;
        std::uint16_t window;
        std::uint16_t first; // number of the first expected block
        std::vector<std::string> events;
        std::vector<std::string> acks;
    };
    const Case cases[] = {
        {"end of window and last block", 4, 1, {"1", "2", "3", "4", "5", "6."}, {"-", "-", "-", "4", "-", "6"}},
        {"last block ends a window early", 16, 1, {"1", "2."}, {"-", "2"}},
        {"lock-step acknowledges every block", 1, 1, {"1", "2", "3."}, {"1", "2", "3"}},
        {"lock-step knows no gap", 1, 1, {"1", "3", "2"}, {"1", "-", "2"}},
        {"gap: last in order, once per pass",
         4,
         1,
         {"1", "3", "4", "2", "3", "4", "5"},
         {"-", "1", "-", "-", "-", "-", "5"}},
        {"the client's next pass is told again", 4, 1, {"1", "3", "4", "3", "4"}, {"-", "1", "-", "1", "-"}},
        {"the block ahead seen last, again, is a probe: told again",
         4,
         1,
         {"3", "3", "4", "4"},
         {"0", "0", "-", "0"}},
        {"beyond the window is no gap", 4, 1, {"5", "1"}, {"-", "-"}},
        {"time-out: last in order, a new window after it",
         4,
         1,
         {"1", "2", "T", "3", "4", "5", "6"},
         {"-", "-", "2", "-", "-", "-", "6"}},
        {"time-out before any data", 4, 1, {"T", "1"}, {"0", "-"}},
        {"repeats of taken blocks are ignored", 4, 1, {"1", "1", "2", "1"}, {"-", "-", "-", "-"}},
        {"numbers wrap inside a window", 4, 65534, {"65534", "65535", "0", "1", "2."}, {"-", "-", "-", "1", "2"}},
        {"gap across the wrap", 4, 65535, {"0", "65535", "0."}, {"65534", "-", "0"}},
        {"nothing after the last block", 4, 1, {"1.", "2", "3"}, {"1", "-", "-"}},
    };
    for (const Case& c : cases) {
        WriteState st;
        st.blksize = 4;
        st.windowsize = c.window;
        st.expected = c.first;
        ASSERT_EQ(c.events.size(), c.acks.size()) << c.what;
        for (std::size_t i = 0; i < c.events.size(); ++i) {
            const std::string& e = c.events[i];
            std::optional<std::uint16_t> ack;
            if (e == "T") {
                Resynchronised(st);
                ack = static_cast<std::uint16_t>(st.expected - 1);
            } else {
                const bool last = e.back() == '.';
                const auto block = static_cast<std::uint16_t>(std::stoul(e));
                const Packet pkt = BuildData(block, Packet(last ? 1 : 4));
                const Incoming in = Classify(st, pkt);
                if (in.verdict == Verdict::Next) {
                    ack = Accept(st, in.payload.size());
                } else if (in.verdict == Verdict::Gap) {
                    ack = TellGap(st, block);
                }
            }
            EXPECT_EQ(ack ? std::to_string(*ack) : "-", c.acks[i])
                << c.what << ", event " << i << " (" << e << ")";
        }
    }
}

TEST(TftpWriteState, AcceptsInOrderAndEndsOnShortBlock)
{
    WriteState st;
    st.blksize = 4;
    Packet d1 = BuildData(1, B({1, 2, 3, 4}));
    Incoming in = Classify(st, d1);
    ASSERT_EQ(in.verdict, Verdict::Next);
    EXPECT_EQ(in.payload.size(), 4u);
    EXPECT_EQ(Accept(st, in.payload.size()), 1);
    EXPECT_FALSE(st.complete);
    EXPECT_EQ(Classify(st, d1).verdict, Verdict::Duplicate);
    EXPECT_EQ(Classify(st, BuildData(5, B({}))).verdict, Verdict::Stray);
    EXPECT_EQ(Classify(st, BuildData(2, B({1, 2, 3, 4, 5}))).verdict, Verdict::Oversize);
    in = Classify(st, BuildData(2, B({7})));
    ASSERT_EQ(in.verdict, Verdict::Next);
    EXPECT_EQ(Accept(st, 1), 2);
    EXPECT_TRUE(st.complete);
    EXPECT_EQ(st.bytes, 5u);
    EXPECT_EQ(st.blocks, 2u);
    // After the end, the last block is only a repeat; nothing new is taken.
    EXPECT_EQ(Classify(st, BuildData(2, B({7}))).verdict, Verdict::Duplicate);
    EXPECT_EQ(Classify(st, BuildData(3, B({}))).verdict, Verdict::Stray);
}

TEST(TftpWriteState, BlockNumbersWrap)
{
    WriteState st;
    st.expected = 65535;
    ASSERT_EQ(Classify(st, BuildData(65535, Packet(512))).verdict, Verdict::Next);
    EXPECT_EQ(Accept(st, 512), 65535);
    EXPECT_EQ(st.expected, 0);
    EXPECT_EQ(Classify(st, BuildData(65535, Packet(512))).verdict, Verdict::Duplicate);
    ASSERT_EQ(Classify(st, BuildData(0, Packet(3))).verdict, Verdict::Next);
    EXPECT_EQ(Accept(st, 3), 0);
    EXPECT_TRUE(st.complete);
}

TEST(TftpWriteState, ErrorsAndOddPackets)
{
    WriteState st;
    Incoming in = Classify(st, B({0, 5, 0, 3, 'f', 'u', 'l', 'l'})); // text without its zero byte
    EXPECT_EQ(in.verdict, Verdict::PeerError);
    EXPECT_EQ(in.block, 3);
    EXPECT_EQ(in.errorText, "full");
    EXPECT_EQ(Classify(st, B({0, 3, 0})).verdict, Verdict::Malformed);
    EXPECT_EQ(Classify(st, B({})).verdict, Verdict::Malformed);
    EXPECT_EQ(Classify(st, BuildAck(1)).verdict, Verdict::Unexpected);
}

TEST(TftpAdmission, SlotDirectoryAndRefusals)
{
    struct Case {
        std::uint16_t opcode;
        const char* name;
        const char* mode;
        const char* slot;
        const char* dir;
        const char* path; // empty: refused with code
        std::uint16_t code;
    };
    const Case cases[] = {
        {OpWrq, "/", "octet", "/s/slot", "/d", "/s/slot", 0},
        {OpWrq, "/", "NetASCII", "/s/slot", "", "/s/slot", 0},
        {OpWrq, "/", "octet", "", "/d", "", ErrAccess}, // no slot
        {OpWrq, "img", "octet", "/s/slot", "/d", "/d/img", 0},
        {OpWrq, "//img", "octet", "", "/d", "/d/img", 0},      // leading slashes dropped
        {OpWrq, "img", "octet", "/s/slot", "", "", ErrAccess}, // no directory
        {OpWrq, "../img", "octet", "", "/d", "", ErrAccess},
        {OpWrq, "a/b", "octet", "", "/d", "", ErrAccess},
        {OpWrq, "..", "octet", "", "/d", "", ErrAccess},
        {OpWrq, ".", "octet", "", "/d", "", ErrAccess},
        {OpWrq, "img", "mail", "", "/d", "", ErrIllegal},
        {OpRrq, "/", "octet", "/s/slot", "/d", "", ErrAccess},
    };
    for (const Case& c : cases) {
        Admission a = AdmitWrite(Request{c.opcode, c.name, c.mode, {}}, c.slot, c.dir);
        EXPECT_EQ(a.path, c.path) << c.name << " " << c.mode;
        if (!*c.path) {
            EXPECT_EQ(a.errorCode, c.code) << c.name;
            EXPECT_FALSE(a.errorText.empty()) << c.name;
        }
    }
}

TEST(TftpFaults, OpeningAndSwitches)
{
    SimTftpOptions o;
    const Request r{OpWrq, "/", "octet", {{"blksize", "1024"}}};
    TransferFaults plain(o);
    WriteState st;
    EXPECT_EQ(plain.Opening(r, st), BuildOack({{"blksize", "1024"}}));
    EXPECT_EQ(st.blksize, 1024u);
    EXPECT_EQ(st.expected, 1);
    EXPECT_FALSE(plain.RefuseAtOnce());
    EXPECT_FALSE(plain.RefuseAfter(1));
    EXPECT_FALSE(plain.LoseLastBlock(true));

    o.firstAck = 7;
    o.errorAfterBlocks = 2;
    o.errorCode = ErrDiskFull;
    o.errorText = "full";
    o.loseFinalData = true;
    TransferFaults faulty(o);
    st = WriteState{};
    EXPECT_EQ(faulty.Opening(r, st), BuildAck(7)); // no option acknowledgement
    EXPECT_EQ(st.blksize, 512u);
    EXPECT_EQ(st.expected, 8);
    EXPECT_FALSE(faulty.RefuseAtOnce());
    EXPECT_FALSE(faulty.RefuseAfter(1));
    EXPECT_TRUE(faulty.RefuseAfter(2));
    EXPECT_FALSE(faulty.LoseLastBlock(false));
    EXPECT_TRUE(faulty.LoseLastBlock(true));
    EXPECT_FALSE(faulty.LoseLastBlock(true)) << "only the first copy is lost";

    o.errorAfterBlocks = 0;
    EXPECT_TRUE(TransferFaults(o).RefuseAtOnce());
    EXPECT_FALSE(TransferFaults(o).RefuseAfter(0));
}

// The device's service time: one time, or draws from a range that every transfer repeats from
// the seed (a benchmark's runs meet the same device) and another seed changes.
TEST(TftpFaults, ServiceTimeFixedOrDrawnFromASeededRange)
{
    using std::chrono::microseconds;
    const auto draws = [](int least, int most, std::uint32_t seed) {
        SimTftpOptions o;
        o.ackDelayMs = least;
        o.ackDelayMaxMs = most;
        o.seed = seed;
        TransferFaults faults(o);
        std::vector<microseconds> times;
        times.reserve(200);
        for (int i = 0; i < 200; ++i)
            times.push_back(faults.ServiceTime());
        return times;
    };
    EXPECT_EQ(draws(0, 0, 1), std::vector<microseconds>(200, microseconds(0)));
    EXPECT_EQ(draws(12, 0, 1), std::vector<microseconds>(200, microseconds(12000))) << "no range: the minimum";
    EXPECT_EQ(draws(12, 12, 1), std::vector<microseconds>(200, microseconds(12000)));
    const auto varying = draws(5, 50, 3);
    EXPECT_EQ(varying, draws(5, 50, 3));
    EXPECT_NE(varying, draws(5, 50, 4));
    const auto [least, most] = std::minmax_element(varying.begin(), varying.end());
    EXPECT_GE(*least, microseconds(5000));
    EXPECT_LE(*most, microseconds(50000));
    // 200 uniform draws: the extremes near the ends, the mean near the middle.
    EXPECT_LT(*least, microseconds(10000));
    EXPECT_GT(*most, microseconds(45000));
    const auto sum = std::accumulate(varying.begin(), varying.end(), microseconds(0));
    EXPECT_NEAR(static_cast<double>(sum.count()) / 200, 27500, 4000);
}

// ---- The running server -------------------------------------------------------------------

namespace {

// Longest wait for a datagram or state that must come: reaching it means it never came.
constexpr int PatienceMs = 20000;

class TestClient {
public:
    TestClient() : fd_(BindUdp("127.0.0.1", 0)) {}
    void SendTo(std::uint16_t port, const Packet& pkt)
    {
        sockaddr_in to = MakeAddr("127.0.0.2", port);
        ::sendto(fd_.Get(), pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // Next datagram within timeoutMs; empty if none. Remembers the sender's port. The default
    // is for datagrams that must come; tests looking for silence give a short wait.
    Packet Receive(int timeoutMs = PatienceMs)
    {
        pollfd p{fd_.Get(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return {};
        Packet b(65536);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_.Get(), b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        b.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        peerPort = ntohs(from.sin_port);
        return b;
    }
    std::uint16_t peerPort = 0;

private:
    Fd fd_;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("simtftp-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        opts.address = "127.0.0.2";
        opts.port = 0;
        opts.slotFile = (dir_ / "slot.bin").string();
        opts.directory = dir_.string();
        opts.timeoutMs = 100;
        opts.retries = 2;
        opts.log = [](const std::string&) {};
    }
    void TearDown() override
    {
        server_.reset();
        fs::remove_all(dir_);
    }
    void Start()
    {
        server_ = std::make_unique<SimTftpServer>(opts);
        server_->Start();
        ASSERT_NE(server_->Port(), 0);
    }
    // Polls for a condition the server reaches on its own threads.
    static bool Eventually(const std::function<bool()>& holds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(PatienceMs);
        while (!holds()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    // Starts a write of "img" and has its first full block acknowledged.
    void WriteFirstBlock(TestClient& c)
    {
        c.SendTo(server_->Port(), BuildWrq("img", "octet", {}));
        EXPECT_EQ(c.Receive(), BuildAck(0));
        c.SendTo(c.peerPort, BuildData(1, Packet(512, 1)));
        EXPECT_EQ(c.Receive(), BuildAck(1));
    }
    std::string Slot() const
    {
        std::ifstream f(opts.slotFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    SimTftpOptions opts;
    std::unique_ptr<SimTftpServer> server_;
    fs::path dir_;
};

} // namespace

TEST_F(ServerTest, WritesSlotOverNegotiatedBlocksFromTransferPort)
{
    Start();
    std::string data(1500, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    TestClient c;
    c.SendTo(server_->Port(), BuildWrq("/", "octet", {{"blksize", "1024"}}));
    EXPECT_EQ(c.Receive(), Cat(B({0, 6}), Text("blksize\0"
                                               "1024\0"sv)));
    const std::uint16_t tid = c.peerPort;
    EXPECT_NE(tid, server_->Port());
    c.SendTo(tid, BuildData(1, Text(data.substr(0, 1024))));
    EXPECT_EQ(c.Receive(), BuildAck(1));
    c.SendTo(tid, BuildData(2, Text(data.substr(1024))));
    EXPECT_EQ(c.Receive(), BuildAck(2));
    EXPECT_EQ(Slot(), data);
    ASSERT_EQ(server_->Images().size(), 1u);
    EXPECT_EQ(server_->Images()[0].remoteName, "/");
    EXPECT_EQ(server_->Images()[0].bytes, 1500u);
}

TEST_F(ServerTest, RefusesReadsAndEscapingNames)
{
    Start();
    TestClient c;
    c.SendTo(server_->Port(), Cat(B({0, 1}), Text("x\0octet\0"sv)));
    Packet e = c.Receive();
    ASSERT_GE(e.size(), 4u);
    EXPECT_EQ(e[1], OpError);
    EXPECT_EQ(e[3], ErrAccess);
    c.SendTo(server_->Port(), BuildWrq("../evil", "octet", {}));
    e = c.Receive();
    ASSERT_GE(e.size(), 4u);
    EXPECT_EQ(e[1], OpError);
    EXPECT_FALSE(fs::exists(dir_.parent_path() / "evil"));
}

TEST_F(ServerTest, RetransmitsAckThenGivesUpLeavingNothing)
{
    Start();
    TestClient c;
    WriteFirstBlock(c);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Receive(), BuildAck(1)); // retransmitted after the time-out
    EXPECT_EQ(c.Receive(), BuildAck(1));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    EXPECT_TRUE(c.Receive(400).empty()); // retries used up
    // The transfer ends one time-out after its last retransmission and removes its file.
    EXPECT_TRUE(Eventually([&] { return fs::is_empty(dir_); })) << "no image and no partial file";
    EXPECT_TRUE(server_->Images().empty());
}

TEST_F(ServerTest, RepeatedDataIsAnsweredAgainAndStrangersGetUnknownTid)
{
    opts.timeoutMs = 10000; // no retransmitted ACK can pass for an answer to the repeat
    Start();
    TestClient c, stranger;
    c.SendTo(server_->Port(), BuildWrq("img", "octet", {}));
    EXPECT_EQ(c.Receive(), BuildAck(0));
    const std::uint16_t tid = c.peerPort;
    c.SendTo(tid, BuildData(1, Packet(512, 1)));
    EXPECT_EQ(c.Receive(), BuildAck(1));
    c.SendTo(tid, BuildData(1, Packet(512, 1))); // its ACK was lost, or the client probes
    EXPECT_EQ(c.Receive(), BuildAck(1));
    stranger.SendTo(tid, BuildData(2, Packet(3, 2)));
    Packet e = stranger.Receive();
    ASSERT_GE(e.size(), 4u);
    EXPECT_EQ(e[3], ErrUnknownTid);
    c.SendTo(tid, BuildData(2, Packet(3, 2)));
    EXPECT_EQ(c.Receive(), BuildAck(2));
    ASSERT_EQ(server_->Images().size(), 1u);
    EXPECT_EQ(server_->Images()[0].bytes, 515u);
}

TEST_F(ServerTest, FirstAckFaultLetsClientWrap)
{
    opts.firstAck = 65534;
    Start();
    TestClient c;
    c.SendTo(server_->Port(), BuildWrq("/", "octet", {{"blksize", "1024"}}));
    EXPECT_EQ(c.Receive(), BuildAck(65534));
    c.SendTo(c.peerPort, BuildData(65535, Packet(512, 'a')));
    EXPECT_EQ(c.Receive(), BuildAck(65535));
    c.SendTo(c.peerPort, BuildData(0, Packet(512, 'b')));
    EXPECT_EQ(c.Receive(), BuildAck(0));
    c.SendTo(c.peerPort, BuildData(1, Packet(1, 'c')));
    EXPECT_EQ(c.Receive(), BuildAck(1));
    EXPECT_EQ(Slot(), std::string(512, 'a') + std::string(512, 'b') + "c");
}

TEST_F(ServerTest, ErrorAfterBlocksAndDuplicateAcks)
{
    opts.errorAfterBlocks = 2;
    opts.errorCode = 3;
    opts.errorText = "Disk full";
    opts.duplicateAcks = 1;
    Start();
    TestClient c;
    c.SendTo(server_->Port(), BuildWrq("/", "octet", {}));
    EXPECT_EQ(c.Receive(), BuildAck(0));
    EXPECT_EQ(c.Receive(), BuildAck(0));
    c.SendTo(c.peerPort, BuildData(1, Packet(512)));
    EXPECT_EQ(c.Receive(), BuildAck(1));
    EXPECT_EQ(c.Receive(), BuildAck(1));
    c.SendTo(c.peerPort, BuildData(2, Packet(512)));
    EXPECT_EQ(c.Receive(), BuildError(3, "Disk full"));
    EXPECT_FALSE(fs::exists(opts.slotFile));
}

TEST_F(ServerTest, LosesFirstCopyOfLastBlockAndWithholdsFinalAck)
{
    opts.loseFinalData = true;
    opts.noFinalAck = true;
    Start();
    TestClient c;
    c.SendTo(server_->Port(), BuildWrq("/", "octet", {}));
    EXPECT_EQ(c.Receive(), BuildAck(0));
    c.SendTo(c.peerPort, BuildData(1, Packet(5, 'z')));
    EXPECT_EQ(c.Receive(), BuildAck(0)); // the server "missed" it and asks again
    c.SendTo(c.peerPort, BuildData(1, Packet(5, 'z')));
    ASSERT_TRUE(Eventually([&] { return server_->Images().size() == 1; }));
    EXPECT_EQ(Slot(), "zzzzz");
    EXPECT_TRUE(c.Receive(300).empty()); // stored, but the last ACK is withheld
}

TEST_F(ServerTest, SilentServerNeverAnswers)
{
    opts.silent = true;
    Start();
    TestClient c;
    c.SendTo(server_->Port(), BuildWrq("/", "octet", {}));
    ASSERT_TRUE(Eventually([&] { return server_->RequestsSeen() == 1; }));
    EXPECT_TRUE(c.Receive(300).empty());
}

TEST_F(ServerTest, StopEndsTheListenerAndTransfersMidWait)
{
    // Nothing here ends by itself before a minute: only Stop's wake-up can end it sooner.
    opts.timeoutMs = 60000;
    Start();
    TestClient c;
    WriteFirstBlock(c);
    auto t0 = std::chrono::steady_clock::now();
    server_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_TRUE(fs::is_empty(dir_)) << "the unfinished image is removed";
    c.SendTo(c.peerPort, BuildData(2, Packet(1, 2)));
    EXPECT_TRUE(c.Receive(300).empty());
}

TEST_F(ServerTest, WindowedWriteAcknowledgesWindowEndsAndGaps)
{
    opts.timeoutMs = 10000; // no time-out ACK can pass for an answer below
    Start();
    TestClient c;
    c.SendTo(server_->Port(), BuildWrq("/", "octet", {{"windowsize", "4"}}));
    EXPECT_EQ(c.Receive(), BuildOack({{"windowsize", "4"}}));
    const std::uint16_t tid = c.peerPort;
    Packet image;
    auto block = [&](std::uint16_t n, std::size_t size) {
        Packet payload(size, static_cast<std::uint8_t>(n * 3));
        return BuildData(n, payload);
    };
    for (std::uint16_t n = 1; n <= 4; ++n)
        c.SendTo(tid, block(n, 512));
    EXPECT_EQ(c.Receive(), BuildAck(4)) << "one ACK for the window";
    c.SendTo(tid, block(6, 512)); // 5 went missing
    EXPECT_EQ(c.Receive(), BuildAck(4));
    c.SendTo(tid, block(7, 512)); // same pass: told already
    c.SendTo(tid, block(5, 512));
    c.SendTo(tid, block(6, 512));
    c.SendTo(tid, block(7, 3));
    EXPECT_EQ(c.Receive(), BuildAck(7));
    for (std::uint16_t n = 1; n <= 7; ++n) {
        Packet d = block(n, n == 7 ? 3 : 512);
        image.insert(image.end(), d.begin() + 4, d.end());
    }
    EXPECT_EQ(Slot(), std::string(image.begin(), image.end()));
}

TEST_F(ServerTest, TimeOutInsideAWindowAcknowledgesTheLastBlockInOrder)
{
    Start(); // 100 ms time-out
    TestClient c;
    c.SendTo(server_->Port(), BuildWrq("img", "octet", {{"blksize", "512"}, {"windowsize", "8"}}));
    EXPECT_EQ(c.Receive(), BuildOack({{"blksize", "512"}, {"windowsize", "8"}}));
    c.SendTo(c.peerPort, BuildData(1, Packet(512, 1))); // the rest of the window is lost
    EXPECT_EQ(c.Receive(), BuildAck(1)) << "not the option acknowledgement again";
    c.SendTo(c.peerPort, BuildData(2, Packet(1, 2)));
    EXPECT_EQ(c.Receive(), BuildAck(2));
    ASSERT_EQ(server_->Images().size(), 1u);
    EXPECT_EQ(server_->Images()[0].bytes, 513u);
    // Its last ACK lost, a client sends the last block again after its own time-out, longer
    // than the server's: the transfer is still there to answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(4 * opts.timeoutMs));
    c.SendTo(c.peerPort, BuildData(2, Packet(1, 2)));
    EXPECT_EQ(c.Receive(), BuildAck(2));
}

TEST_F(ServerTest, RepeatedRequestIsTheSameTransfer)
{
    opts.timeoutMs = 10000; // the transfer outlives the test's steps
    Start();
    TestClient c, other;
    const Packet wrq = BuildWrq("img", "octet", {{"windowsize", "4"}});
    c.SendTo(server_->Port(), wrq);
    EXPECT_EQ(c.Receive(), BuildOack({{"windowsize", "4"}}));
    const std::uint16_t tid = c.peerPort;
    c.SendTo(server_->Port(), wrq); // as if the answer were lost
    EXPECT_EQ(c.Receive(), BuildOack({{"windowsize", "4"}}));
    EXPECT_EQ(c.peerPort, tid) << "answered from the same transfer";
    other.SendTo(server_->Port(), BuildWrq("other", "octet", {}));
    EXPECT_EQ(other.Receive(), BuildAck(0)) << "another client's request is a transfer of its own";
    EXPECT_NE(other.peerPort, tid);
    c.SendTo(tid, BuildData(1, Packet(9, 'x')));
    EXPECT_EQ(c.Receive(), BuildAck(1));
    c.SendTo(server_->Port(), wrq); // a late copy: the client has its answer
    EXPECT_TRUE(c.Receive(300).empty());
    c.SendTo(server_->Port(), BuildWrq("img2", "octet", {})); // not a copy: a new transfer
    EXPECT_EQ(c.Receive(), BuildAck(0));
    EXPECT_NE(c.peerPort, tid);
    EXPECT_EQ(server_->RequestsSeen(), 5u);
    EXPECT_EQ(server_->RepeatsSeen(), 2u);
    ASSERT_EQ(server_->Images().size(), 1u);
    std::ifstream f(dir_ / "img", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), std::string(9, 'x'));
}

TEST_F(ServerTest, FaultSwitchesWithAWindow)
{
    // Each row: a server with one fault, a client with a window of 4.
    struct Row {
        const char* what;
        std::function<void(SimTftpOptions&)> fault;
        std::function<void(TestClient&, std::uint16_t tid)> client;
    };
    const Row rows[] = {
        {"ERROR after 3 blocks, inside the window",
         [](SimTftpOptions& o) {
             o.errorAfterBlocks = 3;
             o.errorCode = ErrDiskFull;
             o.errorText = "full";
         },
         [this](TestClient& c, std::uint16_t tid) {
             for (std::uint16_t n = 1; n <= 3; ++n)
                 c.SendTo(tid, BuildData(n, Packet(512)));
             EXPECT_EQ(c.Receive(), BuildError(ErrDiskFull, "full"));
             EXPECT_FALSE(fs::exists(opts.slotFile));
         }},
        {"last block lost once, last ACK withheld, every ACK twice",
         [](SimTftpOptions& o) {
             o.loseFinalData = true;
             o.noFinalAck = true;
             o.duplicateAcks = 1;
         },
         [this](TestClient& c, std::uint16_t tid) {
             c.SendTo(tid, BuildData(1, Packet(512, 'a')));
             c.SendTo(tid, BuildData(2, Packet(2, 'b')));
             EXPECT_EQ(c.Receive(), BuildAck(1)) << "after the time-out: the last block in order";
             EXPECT_EQ(c.Receive(), BuildAck(1));
             c.SendTo(tid, BuildData(2, Packet(2, 'b')));
             ASSERT_TRUE(Eventually([&] { return server_->Images().size() == 1; }));
             EXPECT_EQ(Slot(), std::string(512, 'a') + "bb");
             EXPECT_TRUE(c.Receive(300).empty());
         }},
        {"a service time of 40 to 60 ms before each window's ACK",
         [](SimTftpOptions& o) {
             o.ackDelayMs = 40;
             o.ackDelayMaxMs = 60;
         },
         [this](TestClient& c, std::uint16_t tid) {
             for (std::uint16_t window = 0; window < 2; ++window) {
                 const auto sent = std::chrono::steady_clock::now();
                 for (std::uint16_t n = 1; n <= 4; ++n)
                     c.SendTo(tid, BuildData(static_cast<std::uint16_t>(window * 4 + n),
                                             Packet(window == 1 && n == 4 ? 1 : 512)));
                 EXPECT_EQ(c.Receive(), BuildAck(static_cast<std::uint16_t>(window * 4 + 4)));
                 EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(40));
             }
             ASSERT_TRUE(Eventually([&] { return server_->Images().size() == 1; }));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        opts = SimTftpOptions{};
        SetUp();
        row.fault(opts);
        Start();
        TestClient c;
        c.SendTo(server_->Port(), BuildWrq("/", "octet", {{"windowsize", "4"}}));
        Packet oack = c.Receive();
        if (opts.duplicateAcks) {
            EXPECT_EQ(c.Receive(), oack);
        }
        EXPECT_EQ(oack, BuildOack({{"windowsize", "4"}}));
        row.client(c, c.peerPort);
        server_.reset();
    }
}
