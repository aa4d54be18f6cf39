// The socket stack's operations that the TFTP path does not reach, on real loopback sockets
// (runs in a private network namespace): callers outside this system may rely on them.
#include "net/IdException.h"
#include "net/IdStackWinsock.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <set>

namespace {

// A host whose name the hosts file knows, whatever this machine is called.
class LocalhostStack : public TIdStackWinsock {
public:
    std::string LocalHostName() override { return "localhost"; }
};

TEST(StackOps, LocalAddressesComeOncePerAddress)
{
    // Before, each address came three times: once per socket type of the lookup's answer.
    LocalhostStack stack;
    const TIdStrings& list = stack.LocalAddressList();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(std::set<std::string>(list.begin(), list.end()).size(), list.size());
    EXPECT_EQ(list.front(), "127.0.0.1");
    EXPECT_EQ(stack.FirstLocalAddress(), "127.0.0.1");
    // Refilled, not appended to, on every call.
    EXPECT_EQ(stack.LocalAddressList().size(), list.size());
    EXPECT_FALSE(TIdStackWinsock().LocalHostName().empty());
}

TEST(StackOps, NameLookupsRaiseTheirCodeDirectly)
{
    TIdStackWinsock stack;
    EXPECT_EQ(stack.LookupHostName("127.0.0.1"), "localhost");
    for (const char* host : {"no-such-host.invalid", ""}) {
        try {
            stack.LookupHostIP(host);
            ADD_FAILURE() << host;
        } catch (const EIdSocketError& e) {
            EXPECT_GE(e.ErrorCode(), Id_WSAHOST_NOT_FOUND) << host;
            EXPECT_LE(e.ErrorCode(), Id_WSANO_DATA) << host;
            EXPECT_EQ(e.Message(), "Socket Error # " + std::to_string(e.ErrorCode()) + "\r\n");
        }
    }
    EXPECT_THROW(stack.HostToIP("no-such-host.invalid"), EIdSocketError);
}

TEST(StackOps, ServicesAndByteOrder)
{
    TIdStackWinsock stack;
    EXPECT_EQ(stack.ServicePort("tftp"), 69);
    const TIdStrings names = stack.ServiceNames(69);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "tftp");
    EXPECT_TRUE(stack.ServiceNames(1).empty() || !stack.ServiceNames(1).front().empty());
    EXPECT_TRUE(stack.ServiceNames(65000).empty());
    EXPECT_EQ(stack.HostToNetLong(0x01020304), htonl(0x01020304));
    EXPECT_EQ(stack.NetToHostLong(htonl(0x01020304)), 0x01020304u);
    EXPECT_EQ(stack.HostToNetShort(0x0102), htons(0x0102));
}

TEST(StackOps, StreamSocketsConnectAcceptAndTalk)
{
    TIdStackWinsock stack;
    const TIdStackSocketHandle listener = stack.CreateDescriptor(Id_PF_INET, SOCK_STREAM, 0);
    ASSERT_NE(listener, Id_INVALID_SOCKET);
    ASSERT_EQ(stack.BindAddress(listener, Id_PF_INET, "127.0.0.1", 0), 0);
    ASSERT_EQ(stack.ListenOn(listener, 1), 0);
    int family = 0;
    std::string ip;
    int32_t port = 0;
    stack.LocalAddressOf(listener, family, ip, port);
    EXPECT_EQ(family, Id_PF_INET);
    EXPECT_EQ(ip, "127.0.0.1");
    ASSERT_GT(port, 0);

    const TIdStackSocketHandle client = stack.CreateDescriptor(Id_PF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(stack.ConnectAddress(client, Id_PF_INET, "127.0.0.1", port), 0);
    std::string peerIP;
    int32_t peerPort = 0;
    const TIdStackSocketHandle accepted = stack.AcceptPeer(listener, peerIP, peerPort);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(peerIP, "127.0.0.1");
    std::string clientIP;
    int32_t clientPort = 0;
    stack.LocalAddressOf(client, family, clientIP, clientPort);
    EXPECT_EQ(peerPort, clientPort);
    stack.PeerAddressOf(client, family, ip, port);
    EXPECT_EQ(ip, "127.0.0.1");

    EXPECT_EQ(stack.SendStream(client, "hello", 5, 0), 5);
    char buffer[8] = {};
    EXPECT_EQ(stack.ReceiveStream(accepted, buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    // Shut down for sending: the other side reads the end.
    EXPECT_EQ(stack.ShutdownDescriptor(client, SHUT_WR), 0);
    EXPECT_EQ(stack.ReceiveStream(accepted, buffer, sizeof buffer, 0), 0);

    for (TIdStackSocketHandle s : {accepted, client, listener})
        EXPECT_EQ(stack.CloseDescriptor(s), 0);
}

TEST(StackOps, FailuresGiveTheirNamedCodes)
{
    TIdStackWinsock stack;
    const TIdStackSocketHandle a = stack.NewSocket(Id_SOCK_DGRAM, 0);
    const TIdStackSocketHandle b = stack.NewSocket(Id_SOCK_DGRAM, 0);
    ASSERT_EQ(stack.BindAddress(a, Id_PF_INET, "127.0.0.1", 0), 0);
    int family = 0;
    std::string ip;
    int32_t port = 0;
    stack.LocalAddressOf(a, family, ip, port);
    EXPECT_EQ(stack.BindAddress(b, Id_PF_INET, "127.0.0.1", port), Id_SOCKET_ERROR);
    EXPECT_EQ(stack.LastErrorCode(), Id_WSAEADDRINUSE);
    // An empty address text binds to every address.
    EXPECT_EQ(stack.BindAddress(b, Id_PF_INET, "", 0), 0);
    stack.LocalAddressOf(b, family, ip, port);
    EXPECT_EQ(ip, "0.0.0.0");
    try {
        stack.PeerAddressOf(b, family, ip, port);
        ADD_FAILURE() << "no error";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), Id_WSAENOTCONN);
    }
    EXPECT_EQ(stack.ListenOn(b, 1), Id_SOCKET_ERROR);
    EXPECT_EQ(stack.LastErrorCode(), Id_WSAEOPNOTSUPP);
    std::string peerIP;
    int32_t peerPort = 0;
    EXPECT_EQ(stack.AcceptPeer(b, peerIP, peerPort), Id_SOCKET_ERROR);
    EXPECT_EQ(stack.ShutdownDescriptor(-1, SHUT_WR), Id_SOCKET_ERROR);
    EXPECT_EQ(stack.LastErrorCode(), Id_WSAEBADF);
    stack.CloseDescriptor(a);
    stack.CloseDescriptor(b);
}

} // namespace
