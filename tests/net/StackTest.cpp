// Socket stack without network traffic: error table, address text, readiness limits.
#include "net/IdException.h"
#include "net/IdStackWinsock.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace {

// Records host lookups instead of asking a resolver.
class LookupSpyStack : public TIdStackWinsock {
public:
    std::string LookupHostIP(const std::string& host) override
    {
        lookups.push_back(host);
        return "127.9.8.7";
    }
    std::vector<std::string> lookups;
};

std::string MessageOf(int32_t code)
{
    try {
        TIdStackWinsock().ThrowError(code);
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), code);
        return e.Message();
    }
    return "not raised";
}

TEST(StackErrors, MessagesComeFromTheFixedTable)
{
    EXPECT_EQ(MessageOf(10060), "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_EQ(MessageOf(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(MessageOf(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(MessageOf(10040), "Socket Error # 10040\r\nMessage too long.");
    EXPECT_EQ(MessageOf(11001), "Socket Error # 11001\r\n");
    EXPECT_EQ(MessageOf(-5), "Socket Error # -5\r\n");
    const EIdSocketError* asRoot = nullptr;
    try {
        TIdStackWinsock().ThrowError(10004);
    } catch (const EIdException& e) {
        asRoot = dynamic_cast<const EIdSocketError*>(&e);
        EXPECT_NE(asRoot, nullptr);
    }
}

TEST(StackErrors, LinuxErrnoMapsByNameNotByOffset)
{
    EXPECT_EQ(WSACodeFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(WSACodeFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WSACodeFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WSACodeFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WSACodeFromErrno(EMSGSIZE), 10040);
    EXPECT_EQ(WSACodeFromErrno(ENOTSOCK), 10038);
    EXPECT_EQ(WSACodeFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(WSACodeFromErrno(ENOTEMPTY), 10066);
    EXPECT_EQ(WSACodeFromErrno(EBADF), 10009);
    // Every table code that has a Linux errno comes out with a table text.
    for (int e : {EINTR,       EACCES,       EFAULT,       EINVAL,      EMFILE,          EINPROGRESS,
                  EALREADY,    EDESTADDRREQ, EPROTOTYPE,   ENOPROTOOPT, EPROTONOSUPPORT, ESOCKTNOSUPPORT,
                  EOPNOTSUPP,  EPFNOSUPPORT, EAFNOSUPPORT, EADDRINUSE,  EADDRNOTAVAIL,   ENETDOWN,
                  ENETUNREACH, ENETRESET,    ECONNABORTED, ECONNRESET,  ENOBUFS,         EISCONN,
                  ENOTCONN,    ESHUTDOWN,    ETOOMANYREFS, ELOOP,       ENAMETOOLONG,    EHOSTDOWN})
        EXPECT_STRNE(WSAErrorText(WSACodeFromErrno(e)), "") << "errno " << e;
}

TEST(StackErrors, CheckResultPassesAnythingButMinusOne)
{
    TIdStackWinsock stack;
    EXPECT_FALSE(stack.CheckResult(0));
    EXPECT_FALSE(stack.CheckResult(5));
    // A failed call: bad descriptor.
    EXPECT_EQ(stack.CloseDescriptor(-1), Id_SOCKET_ERROR);
    EXPECT_EQ(stack.LastErrorCode(), 10009);
    EXPECT_TRUE(stack.CheckResult(-1, {10009}));
    EXPECT_THROW(stack.CheckResult(-1), EIdSocketError);
}

TEST(StackAddresses, HostToIPLooksUpOnlyWhatIsNeitherLocalhostNorADottedQuad)
{
    LookupSpyStack stack;
    EXPECT_EQ(stack.HostToIP("localhost"), "127.0.0.1");
    EXPECT_EQ(stack.HostToIP("LocalHost"), "127.0.0.1");
    EXPECT_EQ(stack.HostToIP("127.168.1.245"), "127.168.1.245");
    EXPECT_EQ(stack.HostToIP("0x7f.0.0.$1"), "0x7f.0.0.$1");
    EXPECT_TRUE(stack.lookups.empty());
    for (const char* host : {"127.168.1.256", "127.0.0", "1.2.3.4.5", "localhost.", "1..2.3", "device"})
        EXPECT_EQ(stack.HostToIP(host), "127.9.8.7") << host;
    EXPECT_EQ(stack.lookups.size(), 6u);
    // Nothing is cached.
    stack.HostToIP("device");
    EXPECT_EQ(stack.lookups.size(), 7u);
}

TEST(StackAddresses, DottedQuadTest)
{
    for (const char* yes : {"0.0.0.0", "127.255.255.255", " 1. 2.+3.4", "$ff.x0.0x1.1"})
        EXPECT_TRUE(TIdStack::IsDottedQuad(yes)) << yes;
    for (const char* no :
         {"", "1.2.3", "1.2.3.", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "-1.1.1.1", "a.b.c.d", "1.2.3.4 ", "..."})
        EXPECT_FALSE(TIdStack::IsDottedQuad(no)) << no;
}

TEST(StackAddresses, ParseAndFormatAreInverse)
{
    TIdStackWinsock stack;
    const TIdInAddr bytes{127, 168, 0, 1};
    EXPECT_EQ(stack.FormatAddress(bytes), "127.168.0.1");
    EXPECT_EQ(stack.ParseAddress("127.168.0.1"), bytes);
    EXPECT_EQ(stack.FormatAddress({255, 0, 127, 9}), "255.0.127.9");
    EXPECT_EQ(stack.FormatAddress({127, 99, 100, 0}), "127.99.100.0");
    EXPECT_EQ(stack.ParseAddress("300.1.1.1")[0], 44);
    EXPECT_EQ(stack.ParseAddress("1.2.3.4.5"), (TIdInAddr{1, 2, 3, 4}));
    try {
        stack.ParseAddress("1.two.3.4");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'two' is not a valid integer value");
    }
}

TEST(StackText, TakeToken)
{
    std::string text = "a.b.c";
    EXPECT_EQ(TakeToken(text, ".", false), "a");
    EXPECT_EQ(text, "a.b.c");
    EXPECT_EQ(TakeToken(text, "."), "a");
    EXPECT_EQ(text, "b.c");
    EXPECT_EQ(TakeToken(text, "."), "b");
    EXPECT_EQ(TakeToken(text, "."), "c");
    EXPECT_EQ(text, "");
    text = "x::y";
    EXPECT_EQ(TakeToken(text, "::"), "x");
    EXPECT_EQ(text, "y");
}

TEST(StackWait, MoreThan64DescriptorsFailBeforeAnyWait)
{
    TIdStackWinsock stack;
    TIdSocketList many(65, 0);
    const TIdSocketList copy = many;
    try {
        stack.WaitSockets(&many, nullptr, nullptr, -2);
        FAIL();
    } catch (const EIdStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), "Set Size Exceeded.");
    }
    EXPECT_EQ(many, copy);
    TIdSocketList write(65, 0);
    EXPECT_THROW(stack.WaitSockets(nullptr, &write, nullptr, 0), EIdStackSetSizeExceeded);
}

TEST(StackMisc, ServicesAndSocketCreation)
{
    TIdStackWinsock stack;
    EXPECT_EQ(stack.ServicePort("1234"), 1234);
    try {
        stack.ServicePort("no-such-service-here");
        FAIL();
    } catch (const EIdInvalidServiceName& e) {
        EXPECT_EQ(e.Message(), "no-such-service-here is not a valid service.");
    }
    EXPECT_EQ(stack.HostToNetShort(0x1234), stack.NetToHostShort(0x1234));
    const TIdStackSocketHandle s = stack.NewSocket(Id_SOCK_DGRAM, 0);
    EXPECT_GE(s, 0);
    EXPECT_EQ(stack.CloseDescriptor(s), 0);
    EXPECT_EQ(stack.VersionInfo()->Name, "Winsock stack");
}

} // namespace
