// The process-wide socket stack: the one place that talks to the platform's sockets.
#pragma once

#include "net/IdComponent.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
constexpr int Id_SOCKET_ERROR = -1;

constexpr int Id_PF_INET = 2;
constexpr int Id_SOCK_DGRAM = 2;

// Time-outs in milliseconds for receives and waits.
constexpr int32_t WaitForever = -2;
constexpr int32_t UseReceiveTimeout = -1;

// Readiness lists hold at most this many descriptors each.
constexpr size_t Id_SOCKET_SET_SIZE = 64;

using TIdSocketList = std::vector<TIdStackSocketHandle>;
using TIdStrings = std::vector<std::string>;

// IPv4 address in network order: byte 0 is the first number of the dotted text.
using TIdInAddr = std::array<uint8_t, 4>;

struct TIdStackVersion {
    virtual ~TIdStackVersion() = default;
    int32_t MaxUdpDg = 0;
    int32_t MaxSockets = 0;
    uint16_t HighVersion = 0;
    uint16_t Version = 0;
    std::string Description;
    std::string SystemStatus;
    std::string Name;
};

// Returns the text before the first delimiter (the whole input when there is none);
// with remove set, takes that text and the delimiter off the input (all of it when none).
std::string TakeToken(std::string& input, const std::string& delimiter, bool remove = true);

class TIdStack {
public:
    TIdStack();
    virtual ~TIdStack();
    TIdStack(const TIdStack&) = delete;
    TIdStack& operator=(const TIdStack&) = delete;

    // Builds the platform's stack.
    static TIdStack* MakeStack();

    virtual void FillLocalAddresses() = 0;
    virtual std::string FirstLocalAddress() = 0;
    virtual const TIdStrings& LocalAddressList() = 0;
    virtual TIdStackSocketHandle AcceptPeer(TIdStackSocketHandle socket, std::string& ip, int32_t& port) = 0;
    virtual int BindAddress(TIdStackSocketHandle socket, int family, const std::string& ip, int32_t port) = 0;
    virtual int CloseDescriptor(TIdStackSocketHandle socket) = 0;
    virtual int ConnectAddress(TIdStackSocketHandle socket, int family, const std::string& ip, int32_t port) = 0;
    virtual std::string LookupHostIP(const std::string& host) = 0;
    virtual std::string LocalHostName() = 0;
    virtual std::string LookupHostName(const std::string& ip) = 0;
    virtual int32_t ServicePort(const std::string& service) = 0;
    virtual TIdStrings ServiceNames(int32_t port) = 0;
    virtual uint16_t HostToNetShort(uint16_t value) = 0;
    virtual int ListenOn(TIdStackSocketHandle socket, int backlog) = 0;
    virtual uint16_t NetToHostShort(uint16_t value) = 0;
    virtual uint32_t HostToNetLong(uint32_t value) = 0;
    virtual uint32_t NetToHostLong(uint32_t value) = 0;
    virtual int ReceiveStream(TIdStackSocketHandle socket, void* buffer, int length, int flags) = 0;
    virtual int ReceiveFromAddress(TIdStackSocketHandle socket, void* buffer, int length, int flags,
                                   std::string& ip, int32_t& port) = 0;
    // Lists not given are passed as empty sets; given lists are cut to their ready
    // descriptors. Returns the ready count, 0 on time-out, -1 on failure (unchecked).
    // ms: -2 waits without limit.
    virtual int WaitSockets(TIdSocketList* readList, TIdSocketList* writeList, TIdSocketList* errorList,
                            int32_t ms) = 0;
    virtual int SendStream(TIdStackSocketHandle socket, const void* buffer, int length, int flags) = 0;
    virtual int SendToAddress(TIdStackSocketHandle socket, const void* buffer, int length, int flags,
                              const std::string& ip, int32_t port) = 0;
    virtual int SetSocketOption(TIdStackSocketHandle socket, int level, int option, const void* value,
                                int length) = 0;
    virtual TIdStackSocketHandle CreateDescriptor(int family, int type, int protocol) = 0;
    virtual int ShutdownDescriptor(TIdStackSocketHandle socket, int how) = 0;
    virtual std::string ErrorMessage(int32_t code) = 0;
    virtual int32_t LastErrorCode() = 0;
    virtual void PeerAddressOf(TIdStackSocketHandle socket, int& family, std::string& ip, int32_t& port) = 0;
    virtual void LocalAddressOf(TIdStackSocketHandle socket, int& family, std::string& ip, int32_t& port) = 0;
    virtual std::string FormatAddress(const TIdInAddr& address) = 0;
    virtual void ParseAddressInto(const std::string& text, TIdInAddr& address) = 0;

    // False unless result is -1; then true for a tolerated code, else raises EIdSocketError.
    bool CheckResult(int result, std::initializer_list<int32_t> tolerated = {});
    [[noreturn]] void ThrowError(int32_t code);
    TIdStackSocketHandle NewSocket(int type, int protocol);
    std::string HostToIP(const std::string& host);
    static bool IsDottedQuad(const std::string& text);
    TIdInAddr ParseAddress(const std::string& text);

    const TIdStackVersion* VersionInfo() const { return versionInfo_.get(); }

protected:
    std::unique_ptr<TIdStackVersion> versionInfo_;
    std::unique_ptr<TIdStrings> localAddressCache_;
};
