// One platform socket with its local and remote address.
#pragma once

#include "IdStack.h"

#include <cstdint>
#include <string>

// Time-outs in milliseconds for receives and waits.
constexpr int32_t WaitForever = -2;
constexpr int32_t UseReceiveTimeout = -1;

class TIdSocketHandle {
public:
    TIdSocketHandle() = default;
    virtual ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // Copies the addresses, not the socket.
    void Assign(const TIdSocketHandle& source);

    // Closes any open socket first.
    void OpenSocket(int type, int protocol);
    virtual void Close(bool resetLocal);
    void ClearState(bool resetLocal);
    virtual int ConnectPeer(int family);
    void RefreshLocal();
    void RefreshRemote();

    void SendDatagramTo(const std::string& ip, int32_t port, const void* buffer, int32_t size);
    virtual int ReceiveFrom(void* buffer, int32_t length, int flags, std::string& ip, int32_t& port);
    // Waits for the socket to become readable, in slices of the anti-freeze's idle time
    // when one is active; WaitForever waits without limit.
    bool WaitReadable(int32_t timeout);
    void SetOption(int level, int option, const void* value, int length);

    TIdStackSocketHandle Socket() const { return socket_; }
    bool Opened() const { return opened_; }
    const std::string& IP() const { return ip_; }
    void SetIP(const std::string& value) { ip_ = value; }
    int32_t Port() const { return port_; }
    void SetPort(int32_t value) { port_ = value; }
    const std::string& RemoteIP() const { return remoteIP_; }
    void SetRemoteIP(const std::string& value) { remoteIP_ = value; }
    int32_t RemotePort() const { return remotePort_; }
    void SetRemotePort(int32_t value) { remotePort_ = value; }

private:
    bool WaitOnce(int32_t timeout);

    TIdStackSocketHandle socket_ = Id_INVALID_SOCKET;
    bool opened_ = false;
    std::string ip_;
    std::string remoteIP_;
    int32_t port_ = 0;
    int32_t remotePort_ = 0;
    TIdSocketList readList_;
};
