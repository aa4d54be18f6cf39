// A socket stack whose readiness wait is scripted, for tests of the wait slicing.
#pragma once

#include "IdAntiFreezeBase.h"
#include "IdComponent.h"
#include "IdStackWinsock.h"

#include <deque>
#include <string>
#include <thread>
#include <vector>

// Shared record of waits ("w<ms>") and message pumps ("pump") in the order they happened.
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

    // Results of the next waits; 0 (time-out) when none is left.
    std::deque<int> results;

    int WaitSockets(TIdSocketList* readList, TIdSocketList*, TIdSocketList*, int32_t ms) override
    {
        EventLog().push_back("w" + std::to_string(ms));
        int result = 0;
        if (!results.empty()) {
            result = results.front();
            results.pop_front();
        }
        if (result != 1 && readList) readList->clear();
        return result;
    }
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
    void PumpMessages() override { EventLog().push_back("pump"); }
};
