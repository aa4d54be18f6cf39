// One platform socket with its local and remote address.
#pragma once

#include "net/IdStack.h"

#include <cstdint>
#include <string>

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
    // when one is active; WaitForever waits without limit. A socket closed by a handler
    // that runs between slices ends the wait with EIdConnClosedGracefully.
    bool WaitReadable(int32_t timeout);
    // Receives one datagram within timeout, sliced as WaitReadable is, but with the
    // kernel's receive time-out: one call per datagram instead of a wait and a receive.
    // False when nothing arrived in time; else true with the platform's result (byte
    // count or -1) in result.
    bool ReceiveFromWithin(void* buffer, int32_t length, int32_t timeout, std::string& ip, int32_t& port,
                           int& result);
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
    // Runs attempt(ms) over the slices of timeout; true as soon as one attempt succeeds.
    template <class Attempt> bool Sliced(int32_t timeout, Attempt attempt);
    bool WaitOnce(int32_t timeout);
    bool ReceiveOnce(void* buffer, int32_t length, int32_t timeout, std::string& ip, int32_t& port, int& result);
    // After the anti-freeze has run handlers: they may have closed the socket.
    void AfterSlice(bool got, uint32_t generation);

    TIdStackSocketHandle socket_ = Id_INVALID_SOCKET;
    bool opened_ = false;
    std::string ip_;
    std::string remoteIP_;
    int32_t port_ = 0;
    int32_t remotePort_ = 0;
    TIdSocketList readList_;
    // The receive time-out set on the socket, in ms (0: none); -1 before the first.
    int32_t kernelTimeout_ = -1;
    // Counts the sockets opened, so that a wait can tell its socket from a later one.
    uint32_t generation_ = 0;
};
