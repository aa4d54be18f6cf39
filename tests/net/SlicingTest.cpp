// The sliced readability wait, through a scripted readiness wait.
#include "tests/net/FakeStack.h"
#include "net/IdException.h"
#include "net/IdUDPBase.h"

#include <gtest/gtest.h>

namespace {

using Log = std::vector<std::string>;

class Slicing : public ::testing::Test {
protected:
    void SetUp() override { EventLog().clear(); }

    // Each slice followed by a pump (the idle ones only, when pumpAfter is false for them).
    static Log Slices(std::initializer_list<int> ms)
    {
        Log log;
        for (int m : ms) {
            log.push_back("w" + std::to_string(m));
            log.push_back("pump");
        }
        return log;
    }

    ScopedFakeStack fake_;
};

TEST_F(Slicing, ReceiveTimeoutIsCutIntoIdleTimeOutSlicesWithAPumpAfterEach)
{
    LoggingAntiFreeze antiFreeze;
    TIdUDPBase udp;
    udp.SetReceiveTimeout(4000);
    std::string ip = "x";
    int32_t port = 7;
    EXPECT_EQ(udp.ReceiveText(ip, port), "");
    EXPECT_EQ(ip, "");
    EXPECT_EQ(port, 0);
    Log expected;
    for (int i = 0; i < 16; ++i)
        expected.insert(expected.end(), {"r250", "pump"});
    EXPECT_EQ(EventLog(), expected);
    // The kernel's receive time-out is written once, not per slice.
    EXPECT_EQ(FakeWaitStack::instance->receiveTimeoutsSet, 1);

    EventLog().clear();
    udp.SetReceiveTimeout(1100);
    FakeWaitStack::instance->results = {0, 0, 1};
    EXPECT_EQ(udp.ReceiveText(ip, port), "x");
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_EQ(port, 69);
    EXPECT_EQ(EventLog(), (Log{"r100", "pump", "r250", "pump", "r250"}));
    EXPECT_EQ(FakeWaitStack::instance->receiveTimeoutsSet, 3);
    // Polling leaves the time-out alone.
    EventLog().clear();
    EXPECT_EQ(udp.ReceiveText(ip, port, 0), "");
    EXPECT_EQ(EventLog(), (Log{"r0", "pump"}));
    EXPECT_EQ(FakeWaitStack::instance->receiveTimeoutsSet, 3);
}

TEST_F(Slicing, RemainderGoesFirstAndShortWaitsAreOneSlice)
{
    LoggingAntiFreeze antiFreeze;
    TIdUDPBase udp;
    TIdSocketHandle& handle = udp.CurrentHandle();
    EXPECT_FALSE(handle.WaitReadable(1100));
    EXPECT_EQ(EventLog(), Slices({100, 250, 250, 250, 250}));
    EventLog().clear();
    EXPECT_FALSE(handle.WaitReadable(200));
    EXPECT_EQ(EventLog(), Slices({200}));
    EventLog().clear();
    EXPECT_FALSE(handle.WaitReadable(500));
    EXPECT_EQ(EventLog(), Slices({250, 250}));
    EventLog().clear();
    antiFreeze.SetIdleTimeOut(300);
    EXPECT_FALSE(handle.WaitReadable(0));
    EXPECT_EQ(EventLog(), Slices({0}));
}

TEST_F(Slicing, DataInTheThirdSliceEndsTheWaitThere)
{
    LoggingAntiFreeze antiFreeze;
    antiFreeze.SetOnlyWhenIdle(false);
    TIdUDPBase udp;
    TIdSocketHandle& handle = udp.CurrentHandle();
    FakeWaitStack::instance->results = {0, 0, 1};
    EXPECT_TRUE(handle.WaitReadable(1000));
    EXPECT_EQ(EventLog(), Slices({250, 250, 250}));

    // With OnlyWhenIdle, the slice that found data handles no messages.
    EventLog().clear();
    antiFreeze.SetOnlyWhenIdle(true);
    FakeWaitStack::instance->results = {0, 1};
    EXPECT_TRUE(handle.WaitReadable(1000));
    EXPECT_EQ(EventLog(), (Log{"w250", "pump", "w250"}));
}

TEST_F(Slicing, WaitForeverRepeatsSlicesUntilReadable)
{
    LoggingAntiFreeze antiFreeze;
    antiFreeze.SetIdleTimeOut(100);
    TIdUDPBase udp;
    FakeWaitStack::instance->results = {0, 0, 0, 1};
    EXPECT_TRUE(udp.CurrentHandle().WaitReadable(WaitForever));
    EXPECT_EQ(EventLog(), (Log{"w100", "pump", "w100", "pump", "w100", "pump", "w100"}));
}

TEST_F(Slicing, NoOrInactiveAntiFreezeMeansOneWholeWait)
{
    {
        TIdUDPBase udp;
        udp.SetReceiveTimeout(4000);
        std::string ip;
        int32_t port = 0;
        EXPECT_EQ(udp.ReceiveText(ip, port), "");
        EXPECT_EQ(EventLog(), (Log{"r4000"}));
    }
    EventLog().clear();
    LoggingAntiFreeze antiFreeze;
    antiFreeze.SetActive(false);
    TIdUDPBase udp;
    EXPECT_FALSE(udp.CurrentHandle().WaitReadable(4000));
    EXPECT_EQ(EventLog(), (Log{"w4000"}));
    // A receive with the constructed time-out waits without limit.
    EventLog().clear();
    FakeWaitStack::instance->results = {0};
    std::string ip;
    int32_t port = 0;
    udp.ReceiveText(ip, port, UseReceiveTimeout);
    EXPECT_EQ(EventLog(), (Log{"r-2"}));
}

TEST_F(Slicing, AnotherThreadIsSlicedButHandlesNoMessages)
{
    LoggingAntiFreeze antiFreeze;
    TIdUDPBase udp;
    TIdSocketHandle& handle = udp.CurrentHandle();
    std::thread worker([&] { handle.WaitReadable(600); });
    worker.join();
    EXPECT_EQ(EventLog(), (Log{"w100", "w250", "w250"}));
}

TEST_F(Slicing, NonPositiveIdleTimeOutStillEnds)
{
    LoggingAntiFreeze antiFreeze;
    antiFreeze.SetIdleTimeOut(0);
    TIdUDPBase udp;
    EXPECT_FALSE(udp.CurrentHandle().WaitReadable(3));
    EXPECT_EQ(EventLog(), Slices({1, 1, 1}));
}

TEST_F(Slicing, ASocketClosedByAHandlerDuringTheWaitEndsIt)
{
    // Before, a wait without limit went on polling the closed descriptor for ever, and a
    // finite one slept out its time.
    LoggingAntiFreeze antiFreeze;
    TIdUDPBase udp;
    antiFreeze.onPump = [&] { udp.SocketHandle()->Close(true); };
    for (int32_t timeout : {WaitForever, 4000}) {
        EventLog().clear();
        EXPECT_THROW(udp.CurrentHandle().WaitReadable(timeout), EIdConnClosedGracefully) << timeout;
        EXPECT_EQ(EventLog(), (Log{"w250", "pump"}));
        EventLog().clear();
        udp.SetReceiveTimeout(timeout);
        std::string ip;
        int32_t port = 0;
        try {
            udp.ReceiveText(ip, port);
            ADD_FAILURE() << "no error";
        } catch (const EIdConnClosedGracefully& e) {
            EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
        }
        EXPECT_EQ(EventLog(), (Log{"r250", "pump"}));
    }
    // Closed and opened again (another transfer started from the handler): still not the
    // socket the wait began on.
    antiFreeze.onPump = [&] { udp.SocketHandle()->OpenSocket(Id_SOCK_DGRAM, 0); };
    EXPECT_THROW(udp.CurrentHandle().WaitReadable(WaitForever), EIdConnClosedGracefully);
}

TEST_F(Slicing, ClosedHandleRaises)
{
    TIdSocketHandle handle;
    try {
        handle.WaitReadable(10);
        FAIL();
    } catch (const EIdConnClosedGracefully& e) {
        EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
    }
    EXPECT_TRUE(EventLog().empty());
}

TEST(AntiFreeze, KeepResponsiveRules)
{
    EventLog().clear();
    TIdAntiFreezeBase::KeepResponsive(true); // none in force
    auto first = std::make_unique<LoggingAntiFreeze>();
    EXPECT_EQ(CurrentAntiFreeze, first.get());
    EXPECT_TRUE(first->Active());
    EXPECT_TRUE(first->ApplicationHasPriority());
    EXPECT_EQ(first->IdleTimeOut(), 250);
    EXPECT_TRUE(first->OnlyWhenIdle());
    TIdAntiFreezeBase::KeepResponsive(false); // OnlyWhenIdle: not after data
    EXPECT_TRUE(EventLog().empty());
    TIdAntiFreezeBase::KeepResponsive(true);
    EXPECT_EQ(EventLog().size(), 1u);
    first->SetActive(false);
    TIdAntiFreezeBase::KeepResponsive(true);
    EXPECT_EQ(EventLog().size(), 1u);

    auto second = std::make_unique<LoggingAntiFreeze>();
    EXPECT_EQ(CurrentAntiFreeze, second.get());
    first.reset();
    EXPECT_EQ(CurrentAntiFreeze, nullptr);
    TIdAntiFreezeBase::KeepResponsive(true);
    EXPECT_EQ(EventLog().size(), 1u);
}

} // namespace
