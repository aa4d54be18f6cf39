// The socket stack over the BSD socket calls.
#pragma once

#include "net/IdStack.h"
#include "net/IdStackErrors.h"

#include <sys/socket.h>

class TIdStackWinsock : public TIdStack {
public:
    // Binds the socket library and starts it; both cannot fail on this platform.
    TIdStackWinsock();
    ~TIdStackWinsock() override;

    void FillLocalAddresses() override;
    std::string FirstLocalAddress() override;
    const TIdStrings& LocalAddressList() override;
    TIdStackSocketHandle AcceptPeer(TIdStackSocketHandle socket, std::string& ip, int32_t& port) override;
    int BindAddress(TIdStackSocketHandle socket, int family, const std::string& ip, int32_t port) override;
    int CloseDescriptor(TIdStackSocketHandle socket) override;
    int ConnectAddress(TIdStackSocketHandle socket, int family, const std::string& ip, int32_t port) override;
    std::string LookupHostIP(const std::string& host) override;
    std::string LocalHostName() override;
    std::string LookupHostName(const std::string& ip) override;
    int32_t ServicePort(const std::string& service) override;
    TIdStrings ServiceNames(int32_t port) override;
    uint16_t HostToNetShort(uint16_t value) override;
    int ListenOn(TIdStackSocketHandle socket, int backlog) override;
    uint16_t NetToHostShort(uint16_t value) override;
    uint32_t HostToNetLong(uint32_t value) override;
    uint32_t NetToHostLong(uint32_t value) override;
    int ReceiveStream(TIdStackSocketHandle socket, void* buffer, int length, int flags) override;
    // A datagram longer than length fails with code 10040 and is dropped, never cut.
    int ReceiveFromAddress(TIdStackSocketHandle socket, void* buffer, int length, int flags, std::string& ip,
                           int32_t& port) override;
    int WaitSockets(TIdSocketList* readList, TIdSocketList* writeList, TIdSocketList* errorList,
                    int32_t ms) override;
    int SendStream(TIdStackSocketHandle socket, const void* buffer, int length, int flags) override;
    int SendToAddress(TIdStackSocketHandle socket, const void* buffer, int length, int flags,
                      const std::string& ip, int32_t port) override;
    int SetSocketOption(TIdStackSocketHandle socket, int level, int option, const void* value,
                        int length) override;
    TIdStackSocketHandle CreateDescriptor(int family, int type, int protocol) override;
    int ShutdownDescriptor(TIdStackSocketHandle socket, int how) override;
    std::string ErrorMessage(int32_t code) override;
    int32_t LastErrorCode() override;
    void PeerAddressOf(TIdStackSocketHandle socket, int& family, std::string& ip, int32_t& port) override;
    void LocalAddressOf(TIdStackSocketHandle socket, int& family, std::string& ip, int32_t& port) override;
    std::string FormatAddress(const TIdInAddr& address) override;
    void ParseAddressInto(const std::string& text, TIdInAddr& address) override;

protected:
    // Records the code LastErrorCode reports for the calling thread.
    static void SetLastError(int32_t code);

private:
    // The text of a datagram's sender address into ip.
    void SenderText(const TIdInAddr& address, std::string& ip);
    // getpeername or getsockname, turned into family, address text and port.
    void SocketAddressOf(int (*query)(int, sockaddr*, socklen_t*), TIdStackSocketHandle socket, int& family,
                         std::string& ip, int32_t& port);
};
