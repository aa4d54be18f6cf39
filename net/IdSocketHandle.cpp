#include "net/IdSocketHandle.h"

#include "net/IdAntiFreezeBase.h"
#include "net/IdException.h"
#include "net/IdStackWinsock.h"

#include <algorithm>
#include <sys/socket.h>
#include <sys/time.h>

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
    ++generation_;
    kernelTimeout_ = -1;
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

void TIdSocketHandle::AfterSlice(bool got, uint32_t generation)
{
    TIdAntiFreezeBase::KeepResponsive(!got);
    // Waiting on, or reading from, a descriptor that is gone would sleep out the time or
    // hang for good on a wait without limit; a new socket (whatever its number) is not the
    // one this wait is for.
    if (!opened_ || generation_ != generation) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
}

bool TIdSocketHandle::WaitOnce(int32_t timeout)
{
    const uint32_t generation = generation_;
    readList_.assign(1, socket_);
    const bool readable = GlobalStack->WaitSockets(&readList_, nullptr, nullptr, timeout) == 1;
    AfterSlice(readable, generation);
    return readable;
}

bool TIdSocketHandle::ReceiveOnce(void* buffer, int32_t length, int32_t timeout, std::string& ip, int32_t& port,
                                  int& result)
{
    const uint32_t generation = generation_;
    bool got = false;
    if (timeout >= 0 || timeout == WaitForever) {
        int flags = 0;
        if (timeout == 0) {
            flags = MSG_DONTWAIT; // a receive time-out of 0 would mean no limit
        } else {
            const int32_t kernelTimeout = timeout == WaitForever ? 0 : timeout;
            if (kernelTimeout != kernelTimeout_) {
                const timeval tv{kernelTimeout / 1000, kernelTimeout % 1000 * 1000};
                SetOption(SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                kernelTimeout_ = kernelTimeout;
            }
        }
        result = ReceiveFrom(buffer, length, flags, ip, port);
        const int32_t code = result == Id_SOCKET_ERROR ? GlobalStack->LastErrorCode() : 0;
        got = code != Id_WSAEWOULDBLOCK && code != Id_WSAETIMEDOUT;
    }
    AfterSlice(got, generation);
    return got;
}

template <class Attempt> bool TIdSocketHandle::Sliced(int32_t timeout, Attempt attempt)
{
    if (!opened_) throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    const TIdAntiFreezeBase* antiFreeze = CurrentAntiFreeze;
    if (!antiFreeze || !antiFreeze->Active()) return attempt(timeout);

    // A slice of at least 1 ms: an idle time of 0 or less would never shorten the wait.
    const int32_t slice = std::max<int32_t>(antiFreeze->IdleTimeOut(), 1);
    if (timeout == WaitForever) {
        while (!attempt(slice)) {}
        return true;
    }
    if (timeout <= slice) return attempt(timeout);
    // n slices: the remainder first, then n - 1 full ones; the first to succeed ends it.
    const int32_t n = timeout / slice + (timeout % slice != 0 ? 1 : 0);
    if (attempt(timeout - (n - 1) * slice)) return true;
    for (int32_t i = 1; i < n; ++i)
        if (attempt(slice)) return true;
    return false;
}

bool TIdSocketHandle::WaitReadable(int32_t timeout)
{
    return Sliced(timeout, [this](int32_t ms) { return WaitOnce(ms); });
}

bool TIdSocketHandle::ReceiveFromWithin(void* buffer, int32_t length, int32_t timeout, std::string& ip,
                                        int32_t& port, int& result)
{
    return Sliced(timeout, [&](int32_t ms) { return ReceiveOnce(buffer, length, ms, ip, port, result); });
}

void TIdSocketHandle::SetOption(int level, int option, const void* value, int length)
{
    GlobalStack->CheckResult(GlobalStack->SetSocketOption(socket_, level, option, value, length));
}
