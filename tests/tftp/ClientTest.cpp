// The TFTP client against a scripted peer on loopback (runs in a private namespace).
#include "tests/net/UdpPeer.h"
#include "tftp/IdTrivialFTP.h"
#include "tftp/TftpSender.h"

#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::string_literals;

std::string Word(int v)
{
    return {static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}
std::string Ack(int block)
{
    return Word(4) + Word(block);
}
std::string Error(int code, const std::string& text)
{
    return Word(5) + Word(code) + text + std::string(1, '\0');
}
std::string Oack(const std::string& name, const std::string& value)
{
    return Word(6) + name + std::string(1, '\0') + value + std::string(1, '\0');
}
std::string Data(int block, const std::string& payload)
{
    return Word(3) + Word(block) + payload;
}

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

// A memory stream that remembers the largest single read asked of it.
class WatchedStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    size_t Read(void* buffer, size_t count) override
    {
        largestRead = std::max(largestRead, count);
        return TMemoryStream::Read(buffer, count);
    }
    size_t largestRead = 0;
};

// The server side: "server" takes the request (port 69's role), "transfer" answers from
// another port, as a real server does. The script runs on its own thread.
struct Peer {
    UdpPeer server;
    UdpPeer transfer;
    sockaddr_in client{};
    std::vector<std::string> got; // every datagram the script received, in order
    std::string failure;          // first broken expectation of the script

    // The next datagram on sock; records it and remembers the client's address.
    // Bounds that only a broken client reaches, also on a loaded machine under ASan.
    std::string Next(UdpPeer& sock, int ms = 20000)
    {
        auto d = sock.Receive(ms);
        if (!d) {
            if (failure.empty()) failure = "nothing received after " + std::to_string(got.size()) + " datagrams";
            return {};
        }
        client = d->from;
        got.push_back(d->bytes);
        return d->bytes;
    }
    std::string Next(int ms = 20000) { return Next(transfer, ms); }
    void Reply(const std::string& bytes) { transfer.SendTo(client, bytes); }
    void Expect(const std::string& actual, const std::string& expected, const char* what)
    {
        if (actual != expected && failure.empty()) failure = what;
    }
    bool Silent(UdpPeer& sock, int ms) { return !sock.Receive(ms); }
};

struct Events {
    std::vector<std::string> log;
    void Attach(TIdComponent& c)
    {
        c.OnWorkBegin = [this](TIdComponent*, TWorkMode, int32_t n) {
            log.push_back("begin " + std::to_string(n));
        };
        c.OnWork = [this](TIdComponent*, TWorkMode, int32_t n) { log.push_back(std::to_string(n)); };
        c.OnWorkEnd = [this](TIdComponent*, TWorkMode) { log.push_back("end"); };
    }
};

using Log = std::vector<std::string>;

class Client : public ::testing::Test {
protected:
    void SetUp() override
    {
        tftp.SetHost("127.0.0.1");
        tftp.SetPort(peer.server.Port());
        tftp.SetRequestedBlockSize(1024);
        // Only tests of the time-out itself wait it out: the scripted peer need not be quick.
        tftp.SetReceiveTimeout(20000);
        events.Attach(tftp);
    }

    // Runs the upload against the script; returns the exception's message, "" when none.
    template <class E = Exception>
    std::string Run(TStream& source, const std::function<void(Peer&)>& script, const std::string& remote = "/")
    {
        std::thread t([&] { script(peer); });
        std::string message;
        try {
            tftp.UploadStream(source, remote);
        } catch (const E& e) {
            message = "raised: " + e.Message();
        }
        t.join();
        EXPECT_EQ(peer.failure, "");
        return message;
    }

    bool SocketClosed() const { return !tftp.SocketHandle() || !tftp.SocketHandle()->Opened(); }

    Peer peer;
    TIdTrivialFTP tftp;
    Events events;
};

TEST_F(Client, AckZeroGivesBlocksOf512EndingWithAnEmptyOne)
{
    const std::string bytes = Pattern(1024);
    WatchedStream source(bytes);
    std::string wrq;
    Run(source, [&](Peer& p) {
        wrq = p.Next(p.server);
        p.Reply(Ack(0));
        p.Expect(p.Next(), Data(1, bytes.substr(0, 512)), "block 1");
        p.Reply(Ack(1));
        p.Expect(p.Next(), Data(2, bytes.substr(512)), "block 2");
        p.Reply(Ack(2));
        p.Expect(p.Next(), Data(3, ""), "block 3");
        p.Reply(Ack(3));
    });
    EXPECT_EQ(wrq,
              "\0\2/\0octet\0blksize\0"
              "1024\0"s);
    EXPECT_EQ(events.log, (Log{"begin 1024", "512", "1024", "1024", "end"}));
    EXPECT_EQ(tftp.BufferSize(), 516);
    EXPECT_EQ(source.largestRead, 512u);
    EXPECT_EQ(source.Position(), 1024);
    EXPECT_TRUE(SocketClosed());
    EXPECT_EQ(tftp.ReplyHost(), "127.0.0.1");
    EXPECT_EQ(tftp.ReplyPort(), peer.transfer.Port());
}

TEST_F(Client, TheReceiveBufferFollowsTheNegotiatedBlockSize)
{
    const std::string bytes = Pattern(1500);
    TMemoryStream source(bytes);
    Run(source, [&](Peer& p) {
        p.Next(p.server);
        p.Reply(Oack("blksize", "1024"));
        p.Expect(p.Next(), Data(1, bytes.substr(0, 1024)), "block 1");
        p.Reply(Ack(1));
        p.Expect(p.Next(), Data(2, bytes.substr(1024)), "block 2");
        p.Reply(Ack(2));
    });
    EXPECT_EQ(events.log, (Log{"begin 1500", "1024", "1500", "end"}));
    EXPECT_EQ(tftp.BufferSize(), 1028);
    // Another first option, or no option answer at all, keeps 512.
    for (const std::string& first : {Oack("tsize", "1500"), Ack(0)}) {
        TMemoryStream again(bytes);
        Run(again, [&](Peer& p) {
            p.Next(p.server);
            p.Reply(first);
            for (int block = 1; block <= 3; ++block) {
                p.Expect(p.Next(), Data(block, bytes.substr((block - 1) * 512, 512)), "block");
                p.Reply(Ack(block));
            }
        });
        EXPECT_EQ(tftp.BufferSize(), 516);
    }
}

TEST_F(Client, BlockNumbersWrapAndARepeatedAck65535SkipsNoData)
{
    const std::string bytes = Pattern(1200);
    TMemoryStream source(bytes);
    Run(source, [&](Peer& p) {
        p.Next(p.server);
        p.Reply(Ack(65534));
        p.Expect(p.Next(), Data(65535, bytes.substr(0, 512)), "block 65535");
        p.Reply(Ack(65535));
        const std::string block0 = Data(0, bytes.substr(512, 512));
        p.Expect(p.Next(), block0, "block 0");
        p.Reply(Ack(65535)); // the server repeats itself
        p.Expect(p.Next(), block0, "block 0 again, same data");
        p.Reply(Ack(0));
        p.Expect(p.Next(), Data(1, bytes.substr(1024)), "block 1");
        p.Reply(Ack(1));
    });
    EXPECT_EQ(events.log, (Log{"begin 1200", "512", "1024", "1200", "end"}));
}

TEST_F(Client, NoAnswerTimesOutWithWorkEndAndClosedSocket)
{
    tftp.SetReceiveTimeout(200);
    TMemoryStream source(Pattern(100));
    const std::string message = Run<EIdTFTPException>(source, [](Peer& p) { p.Next(p.server); });
    EXPECT_EQ(message, "raised: Timeout");
    EXPECT_EQ(events.log, (Log{"begin 100", "end"}));
    EXPECT_TRUE(SocketClosed());
    // Nothing was retransmitted.
    EXPECT_TRUE(peer.Silent(peer.server, 100));
}

TEST_F(Client, AfterTheLastBlockSilenceOrItsAckEndsNormally)
{
    tftp.SetReceiveTimeout(200);
    TMemoryStream silent("xyz");
    EXPECT_EQ(Run(silent,
                  [](Peer& p) {
                      p.Next(p.server);
                      p.Reply(Ack(0));
                      p.Next();
                  }),
              "");
    EXPECT_FALSE(tftp.LastAcknowledged());
    tftp.SetReceiveTimeout(20000);
    TMemoryStream acked("xyz");
    EXPECT_EQ(Run(acked,
                  [](Peer& p) {
                      p.Next(p.server);
                      p.Reply(Ack(0));
                      p.Next();
                      p.Reply(Ack(1));
                  }),
              "");
    EXPECT_TRUE(tftp.LastAcknowledged());
    EXPECT_EQ(events.log, (Log{"begin 3", "3", "end", "begin 3", "3", "end"}));
}

TEST_F(Client, AServerErrorRaisesItsClassWithTheServerText)
{
    struct Case {
        int code;
        const char* text;
        const std::type_info& type;
    };
    // Which class for which code is the state machine's table; here the socket path.
    for (const Case& c : {Case{1, "File not found", typeid(EIdTFTPFileNotFound)}}) {
        TMemoryStream source(Pattern(2000));
        std::thread t([&] {
            peer.Next(peer.server);
            peer.Reply(Ack(0));
            peer.Next();
            peer.Reply(Error(c.code, c.text));
        });
        try {
            tftp.UploadStream(source, "/");
            ADD_FAILURE() << "no error";
        } catch (const EIdTFTPException& e) {
            EXPECT_EQ(typeid(e), c.type) << c.code;
            EXPECT_EQ(e.Message(), c.text);
        }
        t.join();
        EXPECT_TRUE(SocketClosed());
    }
}

TEST_F(Client, OptionRefusalEndsTheUploadWithoutASecondRequest)
{
    TMemoryStream source(Pattern(10));
    std::thread t([&] {
        peer.Next(peer.server);
        peer.Reply(Error(8, "no options"));
    });
    EXPECT_THROW(tftp.UploadStream(source, "/"), EIdTFTPOptionNegotiationFailed);
    t.join();
    EXPECT_TRUE(peer.Silent(peer.server, 200));
    EXPECT_TRUE(peer.Silent(peer.transfer, 0));
    EXPECT_EQ(events.log, (Log{"begin 10", "end"}));
}

TEST_F(Client, AnswersFromAnyAddressRedirectTheTransfer)
{
    UdpPeer elsewhere("127.0.0.2");
    const std::string bytes = Pattern(600);
    TMemoryStream source(bytes);
    Run(source, [&](Peer& p) {
        p.Next(p.server);
        elsewhere.SendTo(p.client, Ack(0));
        auto d1 = elsewhere.Receive();
        p.Expect(d1 ? d1->bytes : "", Data(1, bytes.substr(0, 512)), "block 1 to the new address");
        p.Reply(Ack(1)); // and back to the transfer port
        p.Expect(p.Next(), Data(2, bytes.substr(512)), "block 2");
        p.Reply(Ack(2));
    });
    EXPECT_EQ(tftp.ReplyPort(), peer.transfer.Port());
}

TEST_F(Client, BlockSizesFromTheLargestThatFitsADatagramToRefusal)
{
    // Which sizes are refused is the state machine's table; here the refusal ends the
    // transfer with the socket closed, and the largest size that fits goes through it.
    TMemoryStream source(Pattern(10));
    const std::string message = Run<EIdTFTPInvalidBlockSize>(source, [&](Peer& p) {
        p.Next(p.server);
        p.Reply(Oack("blksize", "65504"));
    });
    EXPECT_NE(message.find("65504"), std::string::npos) << message;
    EXPECT_EQ(events.log, (Log{"begin 10", "end"}));
    EXPECT_TRUE(SocketClosed());
    TMemoryStream text(Pattern(10));
    EXPECT_EQ(Run<EConvertError>(text,
                                 [](Peer& p) {
                                     p.Next(p.server);
                                     p.Reply(Oack("blksize", "12a"));
                                 }),
              "raised: '12a' is not a valid integer value");
    const std::string big = Pattern(65503);
    TMemoryStream largest(big);
    Run(largest, [&](Peer& p) {
        p.Next(p.server);
        p.Reply(Oack("blksize", "65503"));
        p.Expect(p.Next(), Data(1, big), "largest block");
        p.Reply(Ack(1));
        p.Expect(p.Next(), Data(2, ""), "empty last block");
        p.Reply(Ack(2));
    });
}

TEST_F(Client, BadDatagramsPassThroughAsTheirOwnErrors)
{
    TMemoryStream zero(Pattern(10));
    Run<EIdUDPReceiveErrorZeroBytes>(zero, [](Peer& p) {
        p.Next(p.server);
        p.Reply("");
    });
    EXPECT_TRUE(SocketClosed());
    TMemoryStream big(Pattern(10));
    const std::string message = Run<EIdSocketError>(big, [](Peer& p) {
        p.Next(p.server);
        p.Reply(std::string(517, 'x'));
    });
    EXPECT_EQ(message, "raised: Socket Error # 10040\r\nMessage too long.");
    EXPECT_TRUE(SocketClosed());
}

TEST_F(Client, ThrowingWorkEndHandlerReplacesTheErrorAndLeavesTheSocket)
{
    tftp.SetReceiveTimeout(100);
    tftp.OnWorkEnd = [](TIdComponent*, TWorkMode) { throw std::runtime_error("from handler"); };
    TMemoryStream source(Pattern(10));
    std::thread t([&] { peer.Next(peer.server); });
    EXPECT_THROW(tftp.UploadStream(source, "/"), std::runtime_error);
    t.join();
    EXPECT_FALSE(SocketClosed());
}

TEST_F(Client, UploadReadsTheFileAndRefusesAMissingOne)
{
    try {
        tftp.Upload("/nonexistent/firmware.bin", "/");
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file /nonexistent/firmware.bin");
    }
    EXPECT_TRUE(events.log.empty());
    EXPECT_TRUE(peer.Silent(peer.server, 50));

    char path[] = "/tmp/tftp-client-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string bytes = Pattern(1030);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
    std::thread t([&] {
        peer.Expect(peer.Next(peer.server),
                    "\0\2fw.bin\0octet\0blksize\0"
                    "1024\0"s,
                    "request");
        peer.Reply(Oack("blksize", "1024"));
        peer.Expect(peer.Next(), Data(1, bytes.substr(0, 1024)), "block 1");
        peer.Reply(Ack(1));
        peer.Expect(peer.Next(), Data(2, bytes.substr(1024)), "block 2");
        peer.Reply(Ack(2));
    });
    tftp.Upload(path, "fw.bin");
    t.join();
    std::remove(path);
    EXPECT_EQ(peer.failure, "");
}

// The reliable uploads' own socket path (tftp::SendFile) against the same scripted peer.
class Sender : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/tftp-sender-XXXXXX";
        fd_ = ::mkstemp(name);
        ASSERT_GE(fd_, 0);
        path_ = name;
        options.host = "127.0.0.1";
        options.port = peer.server.Port();
        options.timeoutMs = 20000;
        options.policy = tftp::UploadPolicy{1024, 4, 3, false};
    }
    void TearDown() override
    {
        ::close(fd_);
        std::remove(path_.c_str());
    }

    // Sends `bytes` (written to a file) against the script; the failure's text, "" when none.
    std::string Run(const std::string& bytes, const std::function<void(Peer&)>& script, int64_t size = -1)
    {
        EXPECT_EQ(::pwrite(fd_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        std::thread t([&] { script(peer); });
        std::string message;
        try {
            tftp::SendFile(fd_, size < 0 ? static_cast<int64_t>(bytes.size()) : size, "fw.bin", options, report,
                           [this](int64_t n) { progress.push_back(n); });
        } catch (const Exception& e) {
            message = e.Message();
        }
        t.join();
        EXPECT_EQ(peer.failure, "");
        return message;
    }

    Peer peer;
    tftp::SenderOptions options;
    tftp::TransferStats report;
    std::vector<int64_t> progress;
    int fd_ = -1;
    std::string path_;
};

// Windows sent in segmented runs or a message per block (as where the kernel refuses to
// segment) reach the peer alike, a short last block at the end of a run included.
class SenderWindow : public Sender, public ::testing::WithParamInterface<bool> {};

TEST_P(SenderWindow, AWindowGoesOutWholeAndTheLastAckEndsIt)
{
    options.segmentation = GetParam();
    const std::string bytes = Pattern(7000);
    EXPECT_EQ(Run(bytes,
                  [&](Peer& p) {
                      p.Expect(p.Next(p.server),
                               "\0\2fw.bin\0octet\0blksize\0"
                               "1024\0windowsize\0"
                               "4\0"s,
                               "request");
                      p.Reply(Oack("blksize",
                                   "1024\0windowsize\0"
                                   "4"s));
                      for (int block = 1; block <= 4; ++block)
                          p.Expect(p.Next(), Data(block, bytes.substr((block - 1) * 1024, 1024)), "window");
                      p.Reply(Ack(4));
                      for (int block = 5; block <= 7; ++block)
                          p.Expect(p.Next(), Data(block, bytes.substr((block - 1) * 1024, 1024)), "last window");
                      p.Reply(Ack(7));
                  }),
              "");
    EXPECT_TRUE(report.acknowledged);
    EXPECT_EQ(report.windowSize, 4);
    EXPECT_EQ(report.blockSize, 1024);
    // Retransmissions are not counted here: a peer slower than the last block's probe (a
    // loaded machine) draws one, and the probe's timing is the state machine tables' to prove.
    EXPECT_EQ(progress, (std::vector<int64_t>{4096, 7000}));
}

INSTANTIATE_TEST_SUITE_P(Sends, SenderWindow, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Segmented" : "PerBlock"; });

TEST_F(Sender, StrangersGetError5AndSilenceSendsTheWindowAgain)
{
    options.timeoutMs = 300;
    UdpPeer stranger("127.0.0.2");
    const std::string bytes = Pattern(1500);
    EXPECT_EQ(Run(bytes,
                  [&](Peer& p) {
                      p.Next(p.server);
                      p.Reply(Ack(0)); // no options: lock-step, 512-byte blocks
                      const std::string block1 = Data(1, bytes.substr(0, 512));
                      p.Expect(p.Next(), block1, "block 1");
                      stranger.SendTo(p.client, Ack(1));
                      const auto refusal = stranger.Receive(20000);
                      p.Expect(refusal ? refusal->bytes : "", Error(5, "Unknown transfer ID"), "ERROR 5");
                      p.Expect(p.Next(), block1, "block 1 again after the time-out");
                      p.Reply(Ack(1));
                      p.Expect(p.Next(), Data(2, bytes.substr(512, 512)), "block 2");
                      p.Reply(Ack(2));
                      p.Expect(p.Next(), Data(3, bytes.substr(1024)), "block 3");
                      p.Reply(Ack(3));
                  }),
              "");
    EXPECT_EQ(report.windowSize, 1);
    // The time-out's resend at least; a slow peer may also draw a probe of the last block.
    EXPECT_GE(report.retransmissions, 1);
    EXPECT_TRUE(report.acknowledged);
}

TEST_F(Sender, ALostBlockGoesAgainAfterTheLearnedWaitNotTheOperatorsTimeOut)
{
    // The answer to the request teaches a wait of milliseconds; the blocking receive must
    // still end then, not at the operator's 20 s nor at its one-second backstop.
    const std::string bytes = Pattern(700);
    int64_t silenceMs = -1;
    EXPECT_EQ(Run(bytes,
                  [&](Peer& p) {
                      p.Next(p.server);
                      p.Reply(Ack(0));
                      const std::string block1 = Data(1, bytes.substr(0, 512));
                      p.Expect(p.Next(), block1, "block 1");
                      const auto lost = std::chrono::steady_clock::now();
                      p.Expect(p.Next(), block1, "block 1 again");
                      silenceMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - lost)
                                      .count();
                      p.Reply(Ack(1));
                      p.Expect(p.Next(), Data(2, bytes.substr(512)), "block 2");
                      p.Reply(Ack(2));
                  }),
              "");
    EXPECT_LT(silenceMs, 500);
    EXPECT_TRUE(report.acknowledged);
}

TEST_F(Sender, ARefusedOptionAcknowledgementIsToldToTheServer)
{
    // A block size larger than asked: ERROR 8 goes to the transfer port before the failure,
    // which is the server's (a TFTP error), not a local one.
    EXPECT_EQ(Run(Pattern(3000),
                  [](Peer& p) {
                      p.Next(p.server);
                      p.Reply(Oack("blksize", "2048"s));
                      p.Expect(p.Next(), Error(8, "blksize 2048 is not 8 to the 1024 asked for"), "ERROR 8");
                  }),
              "Option acknowledgement refused: blksize 2048 is not 8 to the 1024 asked for");
    EXPECT_FALSE(report.acknowledged);
}

TEST_F(Sender, NoAnswerAfterTheTriesAndAShorterFileFail)
{
    options.timeoutMs = 100;
    EXPECT_EQ(Run(Pattern(10),
                  [](Peer& p) {
                      for (int i = 0; i < 3; ++i)
                          p.Next(p.server);
                  }),
              "Timeout");
    EXPECT_EQ(report.retransmissions, 2);
    EXPECT_FALSE(report.acknowledged);
    options.timeoutMs = 20000;
    EXPECT_EQ(Run(
                  Pattern(100),
                  [](Peer& p) {
                      p.Next(p.server);
                      p.Reply(Ack(0));
                  },
                  5000),
              "The file became shorter while it was being sent");
}

TEST(ClientThreads, UploadsOnSeveralThreadsAtOnceShareNothing)
{
    // One client per thread, made and freed while the others run (the fleet tool's use):
    // the socket stack lives while any of them does.
    constexpr int Threads = 4;
    std::vector<std::string> failures(Threads);
    std::vector<std::thread> threads;
    threads.reserve(Threads);
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 3; ++round) {
                Peer peer;
                const std::string bytes = Pattern(20000 + 1000 * t + round);
                std::thread server([&] {
                    peer.Next(peer.server);
                    peer.Reply(Oack("blksize", "1024"));
                    std::string got;
                    for (int block = 1;; ++block) {
                        const std::string d = peer.Next();
                        if (d.size() < 4) return;
                        got += d.substr(4);
                        peer.Reply(Ack(block));
                        if (d.size() < 1028) break;
                    }
                    peer.Expect(got, bytes, "data");
                });
                try {
                    TIdTrivialFTP tftp;
                    tftp.SetHost("127.0.0.1");
                    tftp.SetPort(peer.server.Port());
                    tftp.SetReceiveTimeout(20000);
                    TMemoryStream source(bytes);
                    tftp.UploadStream(source, "f" + std::to_string(t));
                } catch (const std::exception& e) {
                    failures[t] = e.what();
                }
                server.join();
                if (failures[t].empty()) failures[t] = peer.failure;
                if (!failures[t].empty()) return;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int t = 0; t < Threads; ++t)
        EXPECT_EQ(failures[t], "") << "thread " << t;
    EXPECT_EQ(GlobalStack, nullptr);
    EXPECT_EQ(TIdComponent::InstanceCount(), 0);
}

} // namespace
