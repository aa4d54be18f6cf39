// The UDP endpoint against real loopback sockets (runs in a private network namespace).
#include "net/IdException.h"
#include "net/IdStackWinsock.h"
#include "net/IdUDPClient.h"
#include "tests/net/UdpPeer.h"

#include <chrono>
#include <gtest/gtest.h>

namespace {

int BroadcastOption(const TIdSocketHandle& handle)
{
    int value = 99;
    socklen_t length = sizeof value;
    ::getsockopt(handle.Socket(), SOL_SOCKET, SO_BROADCAST, &value, &length);
    return value;
}

// The endpoint's local port, as the platform chose it.
int LocalPort(const TIdSocketHandle& handle)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(handle.Socket(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST(UdpEndpoint, StackLivesAsLongAsTheComponents)
{
    ASSERT_EQ(GlobalStack, nullptr);
    {
        TIdUDPClient a;
        TIdStack* stack = GlobalStack;
        ASSERT_NE(stack, nullptr);
        {
            TIdUDPClient b;
            EXPECT_EQ(GlobalStack, stack);
            EXPECT_EQ(TIdComponent::InstanceCount(), 2);
        }
        EXPECT_EQ(GlobalStack, stack);
    }
    EXPECT_EQ(GlobalStack, nullptr);
    EXPECT_EQ(TIdComponent::InstanceCount(), 0);
}

TEST(UdpEndpoint, SendAndReceiveWithSender)
{
    UdpPeer peer;
    TIdUDPClient udp;
    EXPECT_EQ(udp.BufferSize(), 8192);
    EXPECT_EQ(udp.ReceiveTimeout(), WaitForever);
    EXPECT_FALSE(udp.Active());
    EXPECT_EQ(udp.SocketHandle(), nullptr);

    udp.SetHost("LOCALHOST");
    udp.SetPort(peer.Port());
    udp.SendToHost(std::string("hi\0there", 8));
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, std::string("hi\0there", 8));
    ASSERT_NE(udp.SocketHandle(), nullptr);
    EXPECT_TRUE(udp.Active());
    // Written on open, also when off.
    EXPECT_EQ(BroadcastOption(*udp.SocketHandle()), 0);
    EXPECT_EQ(udp.SocketHandle()->IP(), "");
    EXPECT_EQ(udp.SocketHandle()->Port(), 0);

    peer.SendTo(got->from, "reply");
    std::string ip;
    int32_t port = 0;
    EXPECT_EQ(udp.ReceiveText(ip, port, 1000), "reply");
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_EQ(port, peer.Port());
}

TEST(UdpEndpoint, OversizedDatagramFailsAndIsDroppedNotCut)
{
    UdpPeer peer;
    TIdUDPClient udp;
    udp.SetBufferSize(516);
    udp.SendText("127.0.0.1", peer.Port(), "x");
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    peer.SendTo(got->from, std::string(517, 'a'));
    peer.SendTo(got->from, std::string(516, 'b'));
    std::string ip;
    int32_t port = 0;
    try {
        udp.ReceiveText(ip, port, 1000);
        FAIL() << "no error";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10040);
        EXPECT_EQ(e.Message(), "Socket Error # 10040\r\nMessage too long.");
    }
    EXPECT_TRUE(udp.Active());
    EXPECT_EQ(udp.ReceiveText(ip, port, 1000), std::string(516, 'b'));
}

TEST(UdpEndpoint, ZeroByteDatagramRaisesButATimeOutDoesNot)
{
    UdpPeer peer;
    TIdUDPClient udp;
    udp.SendText("127.0.0.1", peer.Port(), "x");
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    std::string ip = "stale";
    int32_t port = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(udp.ReceiveText(ip, port, 100), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_EQ(ip, "");
    EXPECT_EQ(port, 0);
    udp.SetReceiveTimeout(100);
    EXPECT_EQ(udp.ReceiveText(ip, port, UseReceiveTimeout), "");

    peer.SendTo(got->from, "");
    try {
        udp.ReceiveText(ip, port, 1000);
        FAIL() << "no error";
    } catch (const EIdUDPReceiveErrorZeroBytes& e) {
        EXPECT_EQ(e.Message(), "UDP Receive Error = 0.");
    }
    // Polling finds nothing at once.
    EXPECT_EQ(udp.ReceiveText(ip, port, 0), "");
}

TEST(UdpEndpoint, BroadcastOptionFollowsTheSetting)
{
    TIdUDPClient udp;
    udp.SetBroadcastEnabled(true);
    EXPECT_EQ(udp.SocketHandle(), nullptr); // inactive: opens nothing
    udp.SetActive(true);
    EXPECT_NE(BroadcastOption(*udp.SocketHandle()), 0);
    udp.SetBroadcastEnabled(false);
    EXPECT_EQ(BroadcastOption(*udp.SocketHandle()), 0);
}

TEST(UdpEndpoint, CloseActiveAndReopen)
{
    UdpPeer peer;
    TIdUDPClient udp;
    udp.SetActive(true);
    udp.SetActive(true);
    TIdSocketHandle* handle = udp.SocketHandle();
    ASSERT_NE(handle, nullptr);
    udp.SendText("127.0.0.1", peer.Port(), "1");
    ASSERT_TRUE(peer.Receive());
    const int firstPort = LocalPort(*handle);

    handle->SetIP("127.1.2.3");
    handle->SetPort(5);
    handle->SetRemoteIP("127.6.7.8");
    handle->Close(false);
    EXPECT_FALSE(handle->Opened());
    EXPECT_EQ(handle->Socket(), Id_INVALID_SOCKET);
    EXPECT_EQ(handle->IP(), "127.1.2.3");
    EXPECT_EQ(handle->Port(), 5);
    EXPECT_EQ(handle->RemoteIP(), "");
    handle->Close(true); // not open: nothing happens
    EXPECT_EQ(handle->IP(), "127.1.2.3");
    EXPECT_FALSE(udp.Active());

    udp.SendText("127.0.0.1", peer.Port(), "2");
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(udp.SocketHandle(), handle);
    EXPECT_TRUE(handle->Opened());
    EXPECT_NE(got->FromPort(), firstPort);
    handle->Close(true);
    EXPECT_EQ(handle->IP(), "");
    EXPECT_EQ(handle->Port(), 0);

    udp.SetActive(true);
    udp.SetActive(false);
    EXPECT_EQ(udp.SocketHandle(), nullptr);
}

TEST(UdpEndpoint, ActiveIsOnlyRecordedWhileLoading)
{
    TIdUDPClient udp;
    udp.BeginLoading();
    udp.SetActive(true);
    EXPECT_TRUE(udp.Active());
    EXPECT_EQ(udp.SocketHandle(), nullptr);
    udp.Loaded();
    ASSERT_NE(udp.SocketHandle(), nullptr);
    EXPECT_TRUE(udp.SocketHandle()->Opened());
}

TEST(UdpEndpoint, SendFailuresAreReported)
{
    TIdUDPClient udp;
    try {
        udp.SendText("127.0.0.1", 9, std::string(70000, 'x'));
        FAIL();
    } catch (const EIdPackageSizeTooBig& e) {
        EXPECT_EQ(e.Message(), "Package Size Too Big.");
    }
}

TEST(UdpEndpoint, HostNamesAreLookedUp)
{
    // From the hosts file: no name server is asked.
    TIdStackWinsock stack;
    EXPECT_EQ(stack.LookupHostIP("localhost"), "127.0.0.1");
}

TEST(UdpEndpoint, WaitSocketsReportsTheReadyOnes)
{
    UdpPeer a;
    UdpPeer b;
    TIdStackWinsock stack;
    const TIdStackSocketHandle sa = stack.NewSocket(Id_SOCK_DGRAM, 0);
    const TIdStackSocketHandle sb = stack.NewSocket(Id_SOCK_DGRAM, 0);
    ASSERT_EQ(stack.SendToAddress(sa, "x", 1, 0, "127.0.0.1", a.Port()), 1);
    ASSERT_EQ(stack.SendToAddress(sb, "y", 1, 0, "127.0.0.1", b.Port()), 1);
    const auto got = a.Receive();
    ASSERT_TRUE(got);
    a.SendTo(got->from, "back");

    TIdSocketList read{sa, sb};
    TIdSocketList write{sb};
    EXPECT_EQ(stack.WaitSockets(&read, &write, nullptr, 1000), 2);
    EXPECT_EQ(read, TIdSocketList{sa});
    EXPECT_EQ(write, TIdSocketList{sb});

    // Polling finds nothing ready and reports so (a wait would hang the test instead).
    TIdSocketList none{sb};
    EXPECT_EQ(stack.WaitSockets(&none, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(none.empty());
    stack.CloseDescriptor(sa);
    stack.CloseDescriptor(sb);
}

} // namespace
