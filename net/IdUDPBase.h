// Datagram endpoint: one lazily opened socket, send to a host and port, receive one
// datagram with a time-out and learn its sender.
#pragma once

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"

#include <cstdint>
#include <memory>
#include <string>

class TIdUDPBase : public TIdComponent {
public:
    TIdUDPBase();
    ~TIdUDPBase() override;

    virtual void ReleaseHandle();
    virtual bool IsActive() const;
    // The socket handle, opened (with the broadcast option written) when it is not.
    virtual TIdSocketHandle& CurrentHandle();
    virtual void ApplyBroadcast();

    bool Active() const { return IsActive(); }
    void SetActive(bool value);

    // Stored-property loading: while loading, Active is only recorded.
    void BeginLoading() { loading_ = true; }
    void Loaded();

    int32_t BufferSize() const { return bufferSize_; }
    void SetBufferSize(int32_t value) { bufferSize_ = value; }
    bool BroadcastEnabled() const { return broadcastEnabled_; }
    void SetBroadcastEnabled(bool value);
    const std::string& Host() const { return host_; }
    void SetHost(const std::string& value) { host_ = value; }
    int32_t Port() const { return port_; }
    void SetPort(int32_t value) { port_ = value; }
    int32_t ReceiveTimeout() const { return receiveTimeout_; }
    void SetReceiveTimeout(int32_t value) { receiveTimeout_ = value; }

    // The stored handle, or none.
    TIdSocketHandle* SocketHandle() const { return socketHandle_.get(); }

    void SendDatagram(const std::string& host, int32_t port, const void* buffer, int32_t count);
    void SendText(const std::string& host, int32_t port, const std::string& bytes);
    // Returns the datagram's length, 0 when nothing arrived in time (sender then empty, 0).
    int32_t ReceiveDatagram(void* buffer, int32_t size, int32_t timeout, std::string& ip, int32_t& port);
    // Empty exactly when the wait timed out.
    std::string ReceiveText(std::string& ip, int32_t& port, int32_t timeout = UseReceiveTimeout);

    void SetBroadcastOption(bool enabled, TIdSocketHandle* handle = nullptr);

private:
    std::unique_ptr<TIdSocketHandle> socketHandle_;
    int32_t bufferSize_ = 8192;
    bool pendingActive_ = false;
    bool loading_ = false;
    std::string host_;
    int32_t port_ = 0;
    int32_t receiveTimeout_ = WaitForever;
    bool broadcastEnabled_ = false;
};
