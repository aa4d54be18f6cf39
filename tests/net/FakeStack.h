// A socket stack whose readiness wait and timed receive are scripted, for tests of the
// wait slicing.
#pragma once

#include "net/IdAntiFreezeBase.h"
#include "net/IdComponent.h"
#include "net/IdStackWinsock.h"

#include <deque>
#include <functional>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/time.h>
#include <string>
#include <thread>
#include <vector>

// Shared record of waits ("w<ms>"), timed receives ("r<ms>") and message pumps ("pump")
// in the order they happened.
inline std::vector<std::string>& EventLog()
{
    static std::vector<std::string> log;
    return log;
}

class FakeWaitStack : public TIdStackWinsock {
public:
    static inline FakeWaitStack* instance = nullptr;

    FakeWaitStack() { instance = this; }
    ~FakeWaitStack() override { instance = nullptr; }

    // Results of the next waits or receives: 1 readable (a one-byte datagram), 0 time-out
    // (also when none is left). More than 1000 slices end the test instead of hanging it.
    std::deque<int> results;

    int WaitSockets(TIdSocketList* readList, TIdSocketList*, TIdSocketList*, int32_t ms) override
    {
        EventLog().push_back("w" + std::to_string(ms));
        const int result = Next();
        if (result != 1 && readList) readList->clear();
        return result;
    }

    int SetSocketOption(TIdStackSocketHandle socket, int level, int option, const void* value, int length) override
    {
        if (level == SOL_SOCKET && option == SO_RCVTIMEO) {
            const auto* tv = static_cast<const timeval*>(value);
            receiveTimeout = static_cast<int32_t>(tv->tv_sec * 1000 + tv->tv_usec / 1000);
            ++receiveTimeoutsSet;
        }
        return TIdStackWinsock::SetSocketOption(socket, level, option, value, length);
    }

    int ReceiveFromAddress(TIdStackSocketHandle, void* buffer, int length, int flags, std::string& ip,
                           int32_t& port) override
    {
        const int32_t ms = (flags & MSG_DONTWAIT) ? 0 : receiveTimeout == 0 ? -2 : receiveTimeout;
        EventLog().push_back("r" + std::to_string(ms));
        if (Next() != 1) {
            SetLastError(Id_WSAEWOULDBLOCK);
            return Id_SOCKET_ERROR;
        }
        if (length > 0) static_cast<char*>(buffer)[0] = 'x';
        ip = "127.0.0.1";
        port = 69;
        return 1;
    }

    int32_t receiveTimeout = 0; // as the kernel holds it: 0 is no limit
    int receiveTimeoutsSet = 0;

private:
    int Next()
    {
        if (++slices > 1000) throw std::runtime_error("the wait does not end");
        if (results.empty()) return 0;
        const int result = results.front();
        results.pop_front();
        return result;
    }
    int slices = 0;
};

// Makes every stack of the scope a FakeWaitStack.
class ScopedFakeStack {
public:
    ScopedFakeStack()
    {
        RegisterStackFactory([]() -> TIdStack* { return new FakeWaitStack(); }, [](TIdStack* s) { delete s; },
                             &make_, &free_);
    }
    ~ScopedFakeStack() { RegisterStackFactory(make_, free_); }

private:
    TIdStackMaker make_ = nullptr;
    TIdStackFreer free_ = nullptr;
};

class LoggingAntiFreeze : public TIdAntiFreezeBase {
public:
    void PumpMessages() override
    {
        EventLog().push_back("pump");
        if (onPump) onPump();
    }
    // Stands for a window handler that runs inside the wait.
    std::function<void()> onPump;
};
