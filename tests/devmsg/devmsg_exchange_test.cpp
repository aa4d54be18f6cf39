// The window's handlers over the real library and simulated devices on loopback addresses: the
// fetching, the lines, the boxes and the flags. The check's rules themselves are upgrade's
// tables (tests/upgrade). Runs in a private network namespace: requests go to
// 127.255.255.255 only.
#include "tests/devmsg/DevmsgTestSupport.h"

#include "devmsg/wire/DeviceFrames.h"
#include "sim/DeviceResponder.h"
#include "posix/Fd.h"
#include "devmsg/wire/NdxlWire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>

using namespace devmsg::frames;
using Frame = std::vector<uint8_t>; // a request frame or reply record

using namespace sim;

namespace {

DeviceConfig Device(int last, const std::string& password = "1234")
{
    DeviceConfig config;
    config.bindAddress = "127.0.0." + std::to_string(last);
    config.mac = {0x00, 0x1b, 0x7a, 0x00, 0x00, static_cast<uint8_t>(last)};
    config.password = password;
    config.name = "KR730-" + std::to_string(last);
    return config;
}

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("NDXL_BROADCAST", "127.255.255.255", 1);
        ::unsetenv("NDXL_PORT");
        ::setenv("NDXL_LOCAL_PORT", std::to_string(LibraryPort).c_str(), 1);
        DeviceFound = PasswordAccepted = 0;
        std::fill(std::begin(ReplyBuffer), std::end(ReplyBuffer), 0);
        host.ip = "127.0.0.2";
        host.password = "1234";
        host.whileBoxOpen = [this] { Pump(100); };
        window = queue.Window();
        ASSERT_EQ(devmsg::OpenDeviceLibrary(window), 0);
    }
    void TearDown() override
    {
        devices.clear();
        devmsg::CloseDeviceLibrary();
        ::unsetenv("NDXL_LOCAL_PORT");
    }

    DeviceResponder& Add(DeviceConfig config)
    {
        devices.push_back(std::make_unique<DeviceResponder>(std::move(config), [this](const std::string& line) {
            const std::lock_guard lock(logMutex);
            deviceLog.push_back(line);
            logged.notify_all();
        }));
        devices.back()->Start();
        return *devices.back();
    }

    // Waits until a device has logged a line holding what: what it decided about a request.
    bool DeviceLogged(const std::string& what)
    {
        std::unique_lock lock(logMutex);
        return logged.wait_for(lock, std::chrono::milliseconds(PatienceMs), [&] {
            return std::any_of(deviceLog.begin(), deviceLog.end(),
                               [&](const std::string& line) { return line.find(what) != std::string::npos; });
        });
    }

    // Silence proven without waiting it out: a marker datagram reaches the library after
    // whatever was sent before it, so once its notification is handled, nothing else came.
    // It reports the address "marker" in a protocol the handlers ignore (96).
    void PumpThroughMarker()
    {
        const posix::Fd fd(::socket(AF_INET, SOCK_DGRAM, 0));
        ASSERT_TRUE(fd);
        sockaddr_in library{};
        library.sin_family = AF_INET;
        library.sin_port = htons(LibraryPort);
        library.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Frame record(ReplySize, 0);
        const std::string marker = "marker";
        std::copy(marker.begin(), marker.end(), record.begin());
        record[RepProtocol] = Prot96;
        const Frame datagram = devmsg::wire::WrapReply(record);
        ASSERT_EQ(::sendto(fd.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&library),
                           sizeof library),
                  static_cast<ssize_t>(datagram.size()));
        Pump(PatienceMs, [] { return ReplyIpText(std::span<const uint8_t>(ReplyBuffer)) == "marker"; });
        ASSERT_EQ(ReplyIpText(std::span<const uint8_t>(ReplyBuffer)), "marker");
    }

    // The window's event handling: 1725 goes to the exchange.
    void Pump(int ms, const std::function<bool()>& done = {})
    {
        queue.Pump(
            ms,
            [this](const NotifyQueue::Message& m) {
                ++handled;
                if (m.message == WM_NDXL_NOTIFY) exchange.OnWM_NDXL_Notify(m.wParam);
            },
            done);
    }

    // One attempt as the upgrade sequence makes it, until done holds (by default: the
    // password was accepted). The upgrade sequence waits half a second; a test waits for the
    // event instead, so that a slow machine cannot fail it.
    void Attempt(
        const std::function<bool()>& done = [] { return PasswordAccepted == 1; }, int ms = PatienceMs)
    {
        PasswordAccepted = 0;
        exchange.SearchDevice();
        DeviceFound = 0;
        Pump(ms, done);
    }
    // An attempt that ends once this many notifications were handled.
    void AttemptUntilHandled(size_t notifications)
    {
        Attempt([this, notifications] { return handled >= notifications; });
        EXPECT_EQ(handled, notifications);
    }
    // An attempt that handles only what is already there; PumpThroughMarker takes the rest.
    void AttemptWithoutWaiting()
    {
        Attempt([] { return false; }, 0);
    }

    static constexpr uint16_t LibraryPort = 17253;

    NotifyQueue queue;
    NDXL_Window window{};
    TestHost host;
    TestHost& exchange = host;
    std::vector<std::unique_ptr<DeviceResponder>> devices;
    size_t handled = 0; // notifications taken from the queue, nested pumps included
    std::mutex logMutex;
    std::condition_variable logged;
    std::vector<std::string> deviceLog;
};

} // namespace

TEST_F(ExchangeTest, NoDeviceLeavesBothFlagsClear)
{
    StderrCapture capture;
    AttemptWithoutWaiting();
    PumpThroughMarker();
    capture.Restore();
    EXPECT_EQ(handled, 1u); // the marker only
    EXPECT_EQ(DeviceFound, 0);
    EXPECT_EQ(PasswordAccepted, 0);
    EXPECT_EQ(capture.Text(), "[NDXL]Response prot=60 op=0\n");
}

TEST_F(ExchangeTest, OneDeviceAcceptsThePassword)
{
    auto& device = Add(Device(2));
    StderrCapture capture;
    Attempt();
    capture.Restore();
    EXPECT_EQ(DeviceFound, 1);
    EXPECT_EQ(PasswordAccepted, 1);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(capture.Text(),
              "[NDXL]Response prot=11 op=1\n"
              "[APDP]Found device IP=127.0.0.2 name=\"KR730-2\""
              "[NDXL]Response prot=41 op=11\n");
    const auto received = device.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].vendor, "Dorvik");
    EXPECT_EQ(received[0].frame, BuildDiscoveryRequest());
    const Frame& request = received[1].frame;
    EXPECT_EQ(request[6], 65);
    EXPECT_EQ(request[7], 16);
    EXPECT_EQ(Frame(request.begin(), request.begin() + 6), (Frame{0x00, 0x1b, 0x7a, 0, 0, 2}));
    EXPECT_EQ(std::string(request.begin() + 8, request.begin() + 20), std::string("1234\0\0\0\0\0\0\0\0", 12));
    // Notifications come from the library's thread, never from inside a send.
    EXPECT_EQ(queue.Posted(), 2u);
}

TEST_F(ExchangeTest, OnlyTheDeviceWithTheMatchingIpIsAskedForThePassword)
{
    auto& a = Add(Device(2));
    auto& b = Add(Device(3));
    auto& c = Add(Device(4));
    host.ip = "127.0.0.3";
    StderrCapture capture;
    AttemptUntilHandled(3 + 1);
    capture.Restore();
    EXPECT_EQ(DeviceFound, 1);
    EXPECT_EQ(PasswordAccepted, 1);
    EXPECT_TRUE(a.PasswordRequests().empty());
    EXPECT_EQ(b.PasswordRequests().size(), 1u);
    EXPECT_TRUE(c.PasswordRequests().empty());
    const std::string log = capture.Text();
    for (const char* line :
         {"[APDP]Found device IP=127.0.0.2 name=\"KR730-2\"", "[APDP]Found device IP=127.0.0.3 name=\"KR730-3\"",
          "[APDP]Found device IP=127.0.0.4 name=\"KR730-4\""})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(ExchangeTest, BothFormsRefusedShowOneBoxEachEvenWhenNested)
{
    DeviceConfig config = Device(2, "right");
    config.answer20 = true;
    auto& device = Add(config);
    host.password = "wrong";
    StderrCapture capture;
    AttemptUntilHandled(2 + 2);
    capture.Restore();
    EXPECT_EQ(DeviceFound, 1);
    EXPECT_EQ(PasswordAccepted, 0);
    const auto requests = device.PasswordRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].frame[6] + requests[1].frame[6], 65 + 68);
    EXPECT_EQ(host.messages, (std::vector<std::string>{"Invalid Password !", "Invalid Password !"}));
    const std::string log = capture.Text();
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("[WDCP]Resule        1,    0 \n", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 2u);
}

TEST_F(ExchangeTest, RefusalValuesAreLoggedInUpperCaseHex)
{
    DeviceConfig config = Device(2, "right");
    config.refuseResult = 0xbeef;
    config.refuseStatus = 0x2a;
    Add(config);
    StderrCapture capture;
    Attempt([this] { return !host.messages.empty(); });
    capture.Restore();
    EXPECT_NE(capture.Text().find("[WDCP]Resule     BEEF,   2A \n"), std::string::npos);
    EXPECT_EQ(PasswordAccepted, 0);
}

TEST_F(ExchangeTest, ASilentDeviceIsNotFound)
{
    DeviceConfig quiet = Device(2);
    quiet.answerDiscovery = false;
    Add(quiet);
    AttemptWithoutWaiting();
    ASSERT_TRUE(DeviceLogged("discovery: staying silent"));
    PumpThroughMarker();
    EXPECT_EQ(DeviceFound, 0);
}

TEST_F(ExchangeTest, APasswordAnswerCountsOnlyWhenItArrives)
{
    struct Row {
        int device;
        int delayMs;      // the device holds its answer well past the moment it has the request
        bool answers;     // or never gives one
        const char* note; // what the device logs when it has the request
    };
    for (const Row& row :
         {Row{2, 1500, true, "password request 65"}, Row{3, 0, false, "password request: staying silent"}}) {
        SCOPED_TRACE(row.device);
        DeviceConfig config = Device(row.device);
        config.passwordDelayMs = row.delayMs;
        config.answerPassword = row.answers;
        Add(config);
        host.ip = config.bindAddress;
        Attempt([] { return DeviceFound == 1; });
        ASSERT_TRUE(DeviceLogged(row.note));
        PumpThroughMarker();
        EXPECT_EQ(DeviceFound, 1);
        EXPECT_EQ(PasswordAccepted, 0);
        EXPECT_TRUE(host.messages.empty());
        if (!row.answers) continue;
        Pump(PatienceMs, [] { return PasswordAccepted == 1; }); // the ordinary message loop
        EXPECT_EQ(PasswordAccepted, 1);
    }
}

TEST_F(ExchangeTest, NotificationsWithOtherWParamAreIgnoredAndFetchNothing)
{
    DeviceConfig config = Device(2);
    config.answer17 = false;
    config.extraProtocols = {96};
    Add(config);
    exchange.SearchDevice();
    ASSERT_TRUE(queue.WaitQueued(1));
    StderrCapture capture;
    exchange.OnWM_NDXL_Notify(0);
    exchange.OnWM_NDXL_Notify(2);
    EXPECT_EQ(capture.Text(), "");
    exchange.OnWM_NDXL_Notify(1);
    EXPECT_EQ(capture.Text(), "[NDXL]Response prot=60 op=1\n");
    // Nothing left: a failed fetch still writes the line, with what the buffer holds.
    exchange.OnWM_NDXL_Notify(1);
    EXPECT_EQ(capture.Text(), "[NDXL]Response prot=60 op=1\n[NDXL]Response prot=60 op=1\n");
}

TEST_F(ExchangeTest, OtherProtocolsAreLoggedOnly)
{
    DeviceConfig config = Device(2);
    config.answer17 = false;
    config.extraProtocols = {33, 96, 0x63};
    Add(config);
    StderrCapture capture;
    AttemptUntilHandled(3);
    capture.Restore();
    EXPECT_EQ(capture.Text(),
              "[NDXL]Response prot=21 op=1\n"
              "[NDXL]Response prot=60 op=1\n"
              "[NDXL]Response prot=63 op=1\n[NDXL]Unknown Protocol\n");
    EXPECT_EQ(DeviceFound, 0);
}

TEST_F(ExchangeTest, ShortUnterminatedAndForeignDatagramsAreHarmless)
{
    DeviceConfig longIp = Device(2);
    longIp.ipText = "127.000.000.0002"; // 16 bytes: no zero byte in the field
    longIp.nameUnterminated = true;
    longIp.junk = true;
    Add(longIp);
    DeviceConfig cut = Device(3);
    cut.replyLength = 23; // ends right after the protocol byte
    Add(cut);
    DeviceConfig empty = Device(4);
    empty.replyLength = 0;
    Add(empty);
    DeviceConfig oversized = Device(5);
    oversized.replyLength = 1200;
    oversized.name = "big";
    Add(oversized);
    host.ip = "127.000.000.0002";
    StderrCapture capture;
    // Four discovery answers (not the junk datagram), then the one password answer.
    AttemptUntilHandled(4 + 1);
    capture.Restore();
    // The library's own notes come from its receiver thread and may fall between the lines
    // of one reply; they are checked apart.
    const std::string all = capture.Text();
    std::string log;
    for (size_t start = 0; start < all.size();) {
        const size_t end = std::min(all.find('\n', start), all.size() - 1) + 1;
        const std::string line = all.substr(start, end - start);
        if (line.rfind("ndxl: ", 0) != 0) log += line;
        start = end;
    }
    EXPECT_NE(all.find("record cut to 800"), std::string::npos);
    EXPECT_NE(log.find("[APDP]Found device IP=127.000.000.0002 name=\"KR730-2KR730-2"), std::string::npos);
    EXPECT_NE(log.find("[APDP]Found device IP=127.0.0.3 name=\"\""), std::string::npos);
    EXPECT_NE(log.find("[NDXL]Response prot=0 op=0\n[NDXL]Unknown Protocol\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[APDP]Found device IP=127.0.0.5 name=\"big\""), std::string::npos);
    // The unterminated IP text still matches exactly; the device accepts.
    EXPECT_EQ(DeviceFound, 1);
    EXPECT_EQ(PasswordAccepted, 1);
}

TEST_F(ExchangeTest, QueueKeeps256RepliesAndDropsTheRestTellingHowMany)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    // Learn the library's address from the request it sends.
    sockaddr_in device{};
    device.sin_family = AF_INET;
    device.sin_port = htons(devmsg::wire::DefaultPort);
    device.sin_addr.s_addr = htonl(0x7fffffff);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&device), sizeof device), 0);
    exchange.SearchDevice();
    uint8_t buffer[2048];
    sockaddr_in library{};
    socklen_t length = sizeof library;
    ASSERT_EQ(::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&library), &length),
              static_cast<ssize_t>(devmsg::wire::RequestDatagramSize));
    const Frame datagram = devmsg::wire::WrapReply(Frame{1, 2, 3});
    StderrCapture capture;
    for (int i = 0; i < 300; ++i) {
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&library), length);
        if (i % 50 == 49) queue.WaitQueued(static_cast<size_t>(std::min(i + 1, 256)));
    }
    ::close(fd);
    ASSERT_TRUE(queue.WaitQueued(256));
    // Every one of the 44 beyond the capacity is dropped with a note, and posts only its loss.
    auto notes = [&capture] {
        const std::string text = capture.Text();
        size_t count = 0;
        for (size_t at = 0; (at = text.find("reply queue full", at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    for (int i = 0; i < PatienceMs / 10 && notes() < 44; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(notes(), 44u);
    EXPECT_EQ(queue.Posted(), 256u);
    EXPECT_EQ(queue.Lost(), 44u);
    capture.Restore();
    uint8_t record[800];
    int fetched = 0;
    while (NDXL_GetData(record) == 0)
        ++fetched;
    EXPECT_EQ(fetched, 256);
}

TEST(LibraryLifecycleTest, InitFailsOnBadSettingsOrABusyPortAndTerminateIsAlwaysSafe)
{
    NotifyQueue queue;
    const NDXL_Window window = queue.Window();
    uint8_t record[800];
    EXPECT_EQ(NDXL_Terminate(), 0); // never opened
    EXPECT_NE(NDXL_GetData(record), 0);
    EXPECT_NE(NDXL_SendData(devmsg::frames::BuildDiscoveryRequest().data()), 0);

    ::setenv("NDXL_BROADCAST", "127.255.255.256", 1);
    EXPECT_NE(NDXL_Init("Dorvik", &window, 1725, 2), 0);
    NDXL_Terminate();
    NDXL_Terminate();

    ::setenv("NDXL_BROADCAST", "127.255.255.255", 1);
    int busy = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    socklen_t length = sizeof at;
    ::getsockname(busy, reinterpret_cast<sockaddr*>(&at), &length);
    ::setenv("NDXL_LOCAL_PORT", std::to_string(ntohs(at.sin_port)).c_str(), 1);
    EXPECT_NE(NDXL_Init("Dorvik", &window, 1725, 2), 0);
    ::close(busy);
    EXPECT_EQ(NDXL_Init("Dorvik", &window, 1725, 2), 0); // free again
    EXPECT_NE(NDXL_Init("Dorvik", &window, 1725, 2), 0); // already open
    EXPECT_EQ(NDXL_Terminate(), 0);
    EXPECT_EQ(NDXL_Terminate(), 0);
    ::unsetenv("NDXL_LOCAL_PORT");
    EXPECT_NE(NDXL_Init("Dorvik", nullptr, 1725, 2), 0);

    // Re-open after close, and a reply still reaches the new session.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(NDXL_Init("Dorvik", &window, 1725, 2), 0) << round;
        DeviceResponder device(DeviceConfig{}, [](const std::string&) {});
        device.Start();
        EXPECT_EQ(NDXL_SendData(devmsg::frames::BuildDiscoveryRequest().data()), 0);
        ASSERT_TRUE(queue.WaitQueued(1)) << round;
        const auto posted = queue.Drain();
        EXPECT_EQ(posted[0].message, 1725u);
        EXPECT_EQ(posted[0].wParam, 1u);
        EXPECT_NE(posted[0].poster, std::this_thread::get_id());
        ASSERT_EQ(NDXL_GetData(record), 0);
        EXPECT_EQ(record[devmsg::frames::RepProtocol], 17);
        NDXL_Terminate();
    }
}
