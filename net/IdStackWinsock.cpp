#include "net/IdStackWinsock.h"

#include "rtl/Exception.h"
#include "net/IdException.h"
#include "net/IdWinsock.h"
#include "rtl/IntConv.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

thread_local int32_t t_lastError = 0;

// A failed platform call: records its code and gives the failure result.
int Failed()
{
    t_lastError = WSACodeFromErrno(errno);
    return Id_SOCKET_ERROR;
}

sockaddr_in MakeAddress(TIdStack& stack, int family, const std::string& ip, int32_t port, bool anyWhenEmpty)
{
    sockaddr_in address{};
    address.sin_family = static_cast<sa_family_t>(family);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (!(anyWhenEmpty && ip.empty())) {
        const TIdInAddr bytes = stack.ParseAddress(ip);
        std::memcpy(&address.sin_addr, bytes.data(), 4);
    }
    return address;
}

TIdInAddr BytesOf(const in_addr& address)
{
    TIdInAddr bytes;
    std::memcpy(bytes.data(), &address, 4);
    return bytes;
}

} // namespace

void TIdStackWinsock::SenderText(const TIdInAddr& address, std::string& ip)
{
    // A transfer's datagrams come from one sender: its text is made once, not per datagram.
    // Per thread, and for this stack only (FormatAddress may be overridden).
    thread_local const TIdStackWinsock* stack = nullptr;
    thread_local TIdInAddr bytes{};
    thread_local std::string text;
    if (stack != this || bytes != address) {
        text = FormatAddress(address);
        bytes = address;
        stack = this;
    }
    ip = text;
}

TIdStackWinsock::TIdStackWinsock()
{
    if (!LoadSocketLibrary())
        throw EIdStackCanNotLoadWinsock(rtl::Format("%s could not be loaded.", Id_SOCKET_LIBRARY));
    auto version = std::make_unique<TIdStackVersion>();
    version->MaxUdpDg = 65507;
    version->MaxSockets = static_cast<int32_t>(Id_SOCKET_SET_SIZE);
    version->HighVersion = 0x0101;
    version->Version = 0x0101;
    version->Description = "BSD sockets";
    version->SystemStatus = "Running";
    version->Name = "Winsock stack";
    versionInfo_ = std::move(version);
}

TIdStackWinsock::~TIdStackWinsock()
{
    UnloadSocketLibrary();
}

void TIdStackWinsock::SetLastError(int32_t code)
{
    t_lastError = code;
}

// Every IPv4 address of host, in the resolver's order; 0 on success or the resolver's code.
static int ResolveIPv4(const std::string& host, std::vector<TIdInAddr>& addresses)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    // One socket type: without it every address comes once per type.
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* raw = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
    if (rc != 0) return rc;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(raw, &::freeaddrinfo);
    for (const addrinfo* ai = list.get(); ai; ai = ai->ai_next)
        addresses.push_back(BytesOf(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr));
    return 0;
}

void TIdStackWinsock::FillLocalAddresses()
{
    if (!localAddressCache_) localAddressCache_ = std::make_unique<TIdStrings>();
    localAddressCache_->clear();
    std::vector<TIdInAddr> addresses;
    if (const int rc = ResolveIPv4(LocalHostName(), addresses); rc != 0) ThrowError(WSACodeFromLookup(rc));
    for (const TIdInAddr& address : addresses)
        localAddressCache_->push_back(FormatAddress(address));
}

std::string TIdStackWinsock::FirstLocalAddress()
{
    const TIdStrings& list = LocalAddressList();
    return list.empty() ? std::string() : list.front();
}

const TIdStrings& TIdStackWinsock::LocalAddressList()
{
    if (!localAddressCache_) localAddressCache_ = std::make_unique<TIdStrings>();
    FillLocalAddresses();
    return *localAddressCache_;
}

TIdStackSocketHandle TIdStackWinsock::AcceptPeer(TIdStackSocketHandle socket, std::string& ip, int32_t& port)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int result = ::accept(socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (result < 0) return Failed();
    ip = FormatAddress(BytesOf(address.sin_addr));
    port = ntohs(address.sin_port);
    return result;
}

int TIdStackWinsock::BindAddress(TIdStackSocketHandle socket, int family, const std::string& ip, int32_t port)
{
    const sockaddr_in address = MakeAddress(*this, family, ip, port, true);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return Failed();
    return 0;
}

int TIdStackWinsock::CloseDescriptor(TIdStackSocketHandle socket)
{
    return ::close(socket) != 0 ? Failed() : 0;
}

int TIdStackWinsock::ConnectAddress(TIdStackSocketHandle socket, int family, const std::string& ip, int32_t port)
{
    const sockaddr_in address = MakeAddress(*this, family, ip, port, false);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return Failed();
    return 0;
}

std::string TIdStackWinsock::LookupHostIP(const std::string& host)
{
    std::vector<TIdInAddr> addresses;
    if (const int rc = ResolveIPv4(host, addresses); rc != 0) ThrowError(WSACodeFromLookup(rc));
    if (addresses.empty()) ThrowError(Id_WSANO_DATA);
    return FormatAddress(addresses.front());
}

std::string TIdStackWinsock::LocalHostName()
{
    char buffer[250] = {};
    ::gethostname(buffer, sizeof buffer - 1);
    return std::string(buffer);
}

std::string TIdStackWinsock::LookupHostName(const std::string& ip)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::inet_addr(ip.c_str());
    char name[NI_MAXHOST] = {};
    const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, name, sizeof name,
                                 nullptr, 0, NI_NAMEREQD);
    if (rc != 0) ThrowError(WSACodeFromLookup(rc));
    return std::string(name);
}

int32_t TIdStackWinsock::ServicePort(const std::string& service)
{
    if (const servent* entry = ::getservbyname(service.c_str(), nullptr))
        return ntohs(static_cast<uint16_t>(entry->s_port));
    if (const auto port = rtl::TryStrToInt(service)) return *port;
    throw EIdInvalidServiceName(rtl::Format("%s is not a valid service.", service.c_str()));
}

TIdStrings TIdStackWinsock::ServiceNames(int32_t port)
{
    TIdStrings names;
    if (const servent* entry = ::getservbyport(htons(static_cast<uint16_t>(port)), nullptr)) {
        names.emplace_back(entry->s_name);
        for (char** alias = entry->s_aliases; alias && *alias; ++alias)
            names.emplace_back(*alias);
    }
    return names;
}

uint16_t TIdStackWinsock::HostToNetShort(uint16_t value)
{
    return htons(value);
}

int TIdStackWinsock::ListenOn(TIdStackSocketHandle socket, int backlog)
{
    return ::listen(socket, backlog) != 0 ? Failed() : 0;
}

uint16_t TIdStackWinsock::NetToHostShort(uint16_t value)
{
    return ntohs(value);
}

uint32_t TIdStackWinsock::HostToNetLong(uint32_t value)
{
    return htonl(value);
}

uint32_t TIdStackWinsock::NetToHostLong(uint32_t value)
{
    return ntohl(value);
}

int TIdStackWinsock::ReceiveStream(TIdStackSocketHandle socket, void* buffer, int length, int flags)
{
    for (;;) {
        const ssize_t n = ::recv(socket, buffer, static_cast<size_t>(length < 0 ? 0 : length), flags);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return Failed();
    }
}

int TIdStackWinsock::ReceiveFromAddress(TIdStackSocketHandle socket, void* buffer, int length, int flags,
                                        std::string& ip, int32_t& port)
{
    const size_t capacity = static_cast<size_t>(length < 0 ? 0 : length);
    sockaddr_in address{};
    for (;;) {
        socklen_t addressLength = sizeof address;
        // MSG_TRUNC makes a datagram socket report the datagram's real length.
        const ssize_t n = ::recvfrom(socket, buffer, capacity, flags | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&address), &addressLength);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Failed();
        }
        SenderText(BytesOf(address.sin_addr), ip);
        port = ntohs(address.sin_port);
        if (static_cast<size_t>(n) > capacity) {
            SetLastError(Id_WSAEMSGSIZE);
            return Id_SOCKET_ERROR;
        }
        return static_cast<int>(n);
    }
}

int TIdStackWinsock::SendStream(TIdStackSocketHandle socket, const void* buffer, int length, int flags)
{
    for (;;) {
        const ssize_t n =
            ::send(socket, buffer, static_cast<size_t>(length < 0 ? 0 : length), flags | MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return Failed();
    }
}

int TIdStackWinsock::SendToAddress(TIdStackSocketHandle socket, const void* buffer, int length, int flags,
                                   const std::string& ip, int32_t port)
{
    const sockaddr_in address = MakeAddress(*this, AF_INET, ip, port, false);
    for (;;) {
        const ssize_t n =
            ::sendto(socket, buffer, static_cast<size_t>(length < 0 ? 0 : length), flags | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return Failed();
    }
}

int TIdStackWinsock::SetSocketOption(TIdStackSocketHandle socket, int level, int option, const void* value,
                                     int length)
{
    return ::setsockopt(socket, level, option, value, static_cast<socklen_t>(length)) != 0 ? Failed() : 0;
}

TIdStackSocketHandle TIdStackWinsock::CreateDescriptor(int family, int type, int protocol)
{
    const int socket = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return socket < 0 ? Failed() : socket;
}

int TIdStackWinsock::ShutdownDescriptor(TIdStackSocketHandle socket, int how)
{
    return ::shutdown(socket, how) != 0 ? Failed() : 0;
}

std::string TIdStackWinsock::ErrorMessage(int32_t code)
{
    return rtl::Format("Socket Error # %d\r\n%s", code, WSAErrorText(code));
}

int32_t TIdStackWinsock::LastErrorCode()
{
    return t_lastError;
}

void TIdStackWinsock::SocketAddressOf(int (*query)(int, sockaddr*, socklen_t*), TIdStackSocketHandle socket,
                                      int& family, std::string& ip, int32_t& port)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    CheckResult(query(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ? Failed() : 0);
    family = address.sin_family;
    ip = FormatAddress(BytesOf(address.sin_addr));
    port = ntohs(address.sin_port);
}

void TIdStackWinsock::PeerAddressOf(TIdStackSocketHandle socket, int& family, std::string& ip, int32_t& port)
{
    SocketAddressOf(&::getpeername, socket, family, ip, port);
}

void TIdStackWinsock::LocalAddressOf(TIdStackSocketHandle socket, int& family, std::string& ip, int32_t& port)
{
    SocketAddressOf(&::getsockname, socket, family, ip, port);
}

std::string TIdStackWinsock::FormatAddress(const TIdInAddr& address)
{
    // Runs for every datagram received: no printf.
    char text[16];
    char* out = text;
    for (size_t i = 0; i < 4; ++i) {
        const unsigned v = address[i];
        if (v >= 100) *out++ = static_cast<char>('0' + v / 100);
        if (v >= 10) *out++ = static_cast<char>('0' + v / 10 % 10);
        *out++ = static_cast<char>('0' + v % 10);
        if (i < 3) *out++ = '.';
    }
    return std::string(text, out);
}

void TIdStackWinsock::ParseAddressInto(const std::string& text, TIdInAddr& address)
{
    // Four takes up to the next dot: a fourth dot ends the last part too.
    std::string_view rest = text;
    for (size_t i = 0; i < 4; ++i) {
        const size_t dot = rest.find('.');
        const std::string_view part = rest.substr(0, dot);
        rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
        address[i] = static_cast<uint8_t>(rtl::StrToInt(part));
    }
}
