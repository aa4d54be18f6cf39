#include "net/IdUDPBase.h"

#include "net/IdException.h"

#include <algorithm>
#include <sys/socket.h>

TIdUDPBase::TIdUDPBase() = default;

TIdUDPBase::~TIdUDPBase()
{
    pendingActive_ = false;
    loading_ = false;
    SetActive(false);
    socketHandle_.reset();
}

void TIdUDPBase::ReleaseHandle()
{
    socketHandle_.reset();
}

bool TIdUDPBase::IsActive() const
{
    return pendingActive_ || (socketHandle_ && socketHandle_->Opened());
}

TIdSocketHandle& TIdUDPBase::CurrentHandle()
{
    if (!socketHandle_) socketHandle_ = std::make_unique<TIdSocketHandle>();
    if (!socketHandle_->Opened()) {
        socketHandle_->OpenSocket(Id_SOCK_DGRAM, 0);
        ApplyBroadcast();
    }
    return *socketHandle_;
}

void TIdUDPBase::ApplyBroadcast()
{
    SetBroadcastOption(broadcastEnabled_, nullptr);
}

void TIdUDPBase::SetActive(bool value)
{
    if (value == IsActive()) return;
    if (loading_) {
        pendingActive_ = value;
        return;
    }
    if (value)
        CurrentHandle();
    else
        ReleaseHandle();
}

void TIdUDPBase::Loaded()
{
    loading_ = false;
    const bool value = pendingActive_;
    pendingActive_ = false;
    SetActive(value);
}

void TIdUDPBase::SetBroadcastEnabled(bool value)
{
    if (value == broadcastEnabled_) return;
    broadcastEnabled_ = value;
    if (IsActive()) ApplyBroadcast();
}

void TIdUDPBase::SetBroadcastOption(bool enabled, TIdSocketHandle* handle)
{
    TIdSocketHandle& target = handle ? *handle : CurrentHandle();
    const int32_t value = enabled ? -1 : 0;
    target.SetOption(SOL_SOCKET, SO_BROADCAST, &value, sizeof value);
}

void TIdUDPBase::SendDatagram(const std::string& host, int32_t port, const void* buffer, int32_t count)
{
    const std::string ip = GlobalStack->HostToIP(host);
    CurrentHandle().SendDatagramTo(ip, port, buffer, count);
}

void TIdUDPBase::SendText(const std::string& host, int32_t port, const std::string& bytes)
{
    SendDatagram(host, port, bytes.data(), static_cast<int32_t>(bytes.size()));
}

int32_t TIdUDPBase::ReceiveDatagram(void* buffer, int32_t size, int32_t timeout, std::string& ip, int32_t& port)
{
    if (timeout == UseReceiveTimeout) timeout = receiveTimeout_;
    int result = 0;
    if (!CurrentHandle().ReceiveFromWithin(buffer, size, timeout, ip, port, result)) {
        ip.clear();
        port = 0;
        return 0;
    }
    GlobalStack->CheckResult(result);
    if (result == 0) throw EIdUDPReceiveErrorZeroBytes("UDP Receive Error = 0.");
    return result;
}

std::string TIdUDPBase::ReceiveText(std::string& ip, int32_t& port, int32_t timeout)
{
    const int32_t size = std::max<int32_t>(bufferSize_, 0);
    std::string bytes(static_cast<size_t>(size), '\0');
    const int32_t count = ReceiveDatagram(bytes.data(), size, timeout, ip, port);
    bytes.resize(static_cast<size_t>(count));
    return bytes;
}
