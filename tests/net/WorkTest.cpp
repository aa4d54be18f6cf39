// Work events and the stack's life, with a stand-in stack.
#include "net/IdComponent.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Recorder {
    std::vector<std::string> events;
    void Attach(TIdComponent& c)
    {
        c.OnWorkBegin = [this](TIdComponent*, TWorkMode m, int32_t max) {
            events.push_back("begin" + std::to_string(m) + ":" + std::to_string(max));
        };
        c.OnWork = [this](TIdComponent*, TWorkMode m, int32_t n) {
            events.push_back("work" + std::to_string(m) + ":" + std::to_string(n));
        };
        c.OnWorkEnd = [this](TIdComponent*, TWorkMode m) { events.push_back("end" + std::to_string(m)); };
    }
};

using Events = std::vector<std::string>;

TEST(WorkEvents, NestedWorkReachesHandlersOnlyAtTheOuterLevel)
{
    TIdComponent c;
    Recorder r;
    r.Attach(c);
    c.WorkBegin(wmWrite, 100);
    c.WorkAdd(wmWrite, 10);
    c.WorkBegin(wmWrite, 5); // nested: no event, no reset
    c.WorkAdd(wmWrite, 20);
    c.WorkAdd(wmWrite, 0); // reported with the unchanged total
    c.WorkEnd(wmWrite);
    c.WorkEnd(wmWrite);
    EXPECT_EQ(r.events, (Events{"begin1:100", "work1:10", "work1:30", "work1:30", "end1"}));
    EXPECT_EQ(c.WorkInfo(wmWrite).CountMax, 100);
    EXPECT_EQ(c.WorkInfo(wmWrite).Count, 30);
    EXPECT_EQ(c.WorkInfo(wmWrite).Depth, 0);
}

TEST(WorkEvents, ModesAreCountedApartAndAddWithoutBeginDoesNothing)
{
    TIdComponent c;
    Recorder r;
    r.Attach(c);
    c.WorkAdd(wmWrite, 7);
    EXPECT_EQ(c.WorkInfo(wmWrite).Count, 0);
    c.WorkBegin(wmWrite, 9);
    c.WorkBegin(wmRead, 3);
    c.WorkEnd(wmRead);
    c.WorkAdd(wmWrite, 4);
    c.WorkEnd(wmWrite);
    EXPECT_EQ(r.events, (Events{"begin1:9", "begin0:3", "end0", "work1:4", "end1"}));
}

TEST(WorkEvents, EndBelowZeroSwallowsTheNextBegin)
{
    TIdComponent c;
    Recorder r;
    r.Attach(c);
    c.WorkEnd(wmWrite);
    EXPECT_EQ(c.WorkInfo(wmWrite).Depth, -1);
    c.WorkBegin(wmWrite, 50);
    c.WorkAdd(wmWrite, 5);
    EXPECT_EQ(c.WorkInfo(wmWrite).Depth, 0);
    c.WorkBegin(wmWrite, 60);
    c.WorkAdd(wmWrite, 6);
    c.WorkEnd(wmWrite);
    EXPECT_EQ(r.events, (Events{"begin1:60", "work1:6", "end1"}));
}

TEST(WorkEvents, ThrowingEndHandlerLeavesTheDepth)
{
    TIdComponent c;
    c.OnWorkEnd = [](TIdComponent*, TWorkMode) { throw std::runtime_error("handler"); };
    c.WorkBegin(wmWrite, 1);
    EXPECT_THROW(c.WorkEnd(wmWrite), std::runtime_error);
    EXPECT_EQ(c.WorkInfo(wmWrite).Depth, 1);
    // Unassigned events are skipped.
    TIdComponent quiet;
    quiet.WorkBegin(wmWrite, 1);
    quiet.WorkAdd(wmWrite, 1);
    quiet.WorkEnd(wmWrite);
}

TEST(WorkEvents, RunningTotalWrapsInsteadOfOverflowing)
{
    TIdComponent c;
    int32_t last = 0;
    c.OnWork = [&](TIdComponent*, TWorkMode, int32_t n) { last = n; };
    c.WorkBegin(wmWrite, 0);
    c.WorkAdd(wmWrite, INT32_MAX);
    c.WorkAdd(wmWrite, 2);
    EXPECT_EQ(last, INT32_MIN + 1);
}

int g_made = 0;
int g_freed = 0;
int g_token = 0;

TEST(StackLife, FirstComponentMakesTheStackAndTheLastFreesIt)
{
    TIdStackMaker oldMake = nullptr;
    TIdStackFreer oldFree = nullptr;
    RegisterStackFactory(
        []() -> TIdStack* {
            ++g_made;
            return reinterpret_cast<TIdStack*>(&g_token);
        },
        [](TIdStack* s) {
            EXPECT_EQ(s, reinterpret_cast<TIdStack*>(&g_token));
            ++g_freed;
        },
        &oldMake, &oldFree);
    {
        auto a = std::make_unique<TIdComponent>();
        auto b = std::make_unique<TIdComponent>();
        EXPECT_EQ(g_made, 1);
        a.reset();
        EXPECT_EQ(g_freed, 0);
        EXPECT_NE(GlobalStack, nullptr);
    }
    EXPECT_EQ(g_freed, 1);
    EXPECT_EQ(GlobalStack, nullptr);
    {
        TIdComponent again; // a new stack, never a restarted one
        EXPECT_EQ(g_made, 2);
    }
    RegisterStackFactory(oldMake, oldFree);
}

} // namespace
