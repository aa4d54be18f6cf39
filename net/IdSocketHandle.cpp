#include "IdSocketHandle.h"

#include "IdAntiFreezeBase.h"
#include "IdException.h"
#include "IdStackWinsock.h"

#include <algorithm>

TIdSocketHandle::~TIdSocketHandle()
{
    Close(true);
}

void TIdSocketHandle::Assign(const TIdSocketHandle& source)
{
    ip_ = source.ip_;
    port_ = source.port_;
    remoteIP_ = source.remoteIP_;
    remotePort_ = source.remotePort_;
}

void TIdSocketHandle::OpenSocket(int type, int protocol)
{
    Close(true);
    socket_ = GlobalStack->NewSocket(type, protocol);
    opened_ = true;
}

void TIdSocketHandle::Close(bool resetLocal)
{
    if (!opened_) return;
    opened_ = false;
    if (GlobalStack) {
        GlobalStack->ShutdownDescriptor(socket_, 1);
        GlobalStack->CloseDescriptor(socket_);
    }
    ClearState(resetLocal);
}

void TIdSocketHandle::ClearState(bool resetLocal)
{
    opened_ = false;
    socket_ = Id_INVALID_SOCKET;
    if (resetLocal) {
        ip_.clear();
        port_ = 0;
    }
    remoteIP_.clear();
    remotePort_ = 0;
}

int TIdSocketHandle::ConnectPeer(int family)
{
    const int result = GlobalStack->ConnectAddress(socket_, family, remoteIP_, remotePort_);
    if (result != Id_SOCKET_ERROR) {
        RefreshLocal();
        RefreshRemote();
    }
    return result;
}

void TIdSocketHandle::RefreshLocal()
{
    int family = 0;
    GlobalStack->LocalAddressOf(socket_, family, ip_, port_);
}

void TIdSocketHandle::RefreshRemote()
{
    int family = 0;
    GlobalStack->PeerAddressOf(socket_, family, remoteIP_, remotePort_);
}

void TIdSocketHandle::SendDatagramTo(const std::string& ip, int32_t port, const void* buffer, int32_t size)
{
    const int result = GlobalStack->SendToAddress(socket_, buffer, size, 0, ip, port);
    if (result == Id_SOCKET_ERROR) {
        if (GlobalStack->LastErrorCode() == Id_WSAEMSGSIZE) throw EIdPackageSizeTooBig("Package Size Too Big.");
        GlobalStack->CheckResult(Id_SOCKET_ERROR);
    } else if (result != size) {
        throw EIdNotAllBytesSent("Not all bytes sent.");
    }
}

int TIdSocketHandle::ReceiveFrom(void* buffer, int32_t length, int flags, std::string& ip, int32_t& port)
{
    return GlobalStack->ReceiveFromAddress(socket_, buffer, length, flags, ip, port);
}

bool TIdSocketHandle::WaitOnce(int32_t timeout)
{
    readList_.assign(1, socket_);
    const bool readable = GlobalStack->WaitSockets(&readList_, nullptr, nullptr, timeout) == 1;
    TIdAntiFreezeBase::KeepResponsive(!readable);
    return readable;
}

bool TIdSocketHandle::WaitReadable(int32_t timeout)
{
    if (!opened_) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    const TIdAntiFreezeBase* antiFreeze = CurrentAntiFreeze;
    if (!antiFreeze || !antiFreeze->Active()) return WaitOnce(timeout);

    // A slice of at least 1 ms: an idle time of 0 or less would never shorten the wait.
    const int32_t slice = std::max<int32_t>(antiFreeze->IdleTimeOut(), 1);
    if (timeout == WaitForever) {
        while (!WaitOnce(slice)) {
        }
        return true;
    }
    if (timeout <= slice) return WaitOnce(timeout);
    // n slices: the remainder first, then n - 1 full ones; the first to find data ends it.
    const int32_t n = timeout / slice + (timeout % slice != 0 ? 1 : 0);
    if (WaitOnce(timeout - (n - 1) * slice)) return true;
    for (int32_t i = 1; i < n; ++i)
        if (WaitOnce(slice)) return true;
    return false;
}

void TIdSocketHandle::SetOption(int level, int option, const void* value, int length)
{
    GlobalStack->CheckResult(GlobalStack->SetSocketOption(socket_, level, option, value, length));
}
