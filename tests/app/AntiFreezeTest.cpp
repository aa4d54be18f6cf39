// The Qt anti-freeze handles the application's pending events, on the main thread only.
#include "app/IdAntiFreeze.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <gtest/gtest.h>
#include <thread>

namespace {

class Counter : public QObject {
public:
    int seen = 0;
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User) {
            ++seen;
            return true;
        }
        return QObject::event(e);
    }
};

TEST(QtAntiFreeze, PumpsPendingEventsOnTheMainThreadOnly)
{
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    TIdAntiFreeze antiFreeze;
    antiFreeze.SetOnlyWhenIdle(false);
    Counter counter;

    QCoreApplication::postEvent(&counter, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&counter, new QEvent(QEvent::User));
    std::thread other([] { TIdAntiFreezeBase::KeepResponsive(true); });
    other.join();
    EXPECT_EQ(counter.seen, 0);

    TIdAntiFreezeBase::KeepResponsive(false);
    EXPECT_EQ(counter.seen, 2);

    antiFreeze.SetApplicationHasPriority(false);
    QCoreApplication::postEvent(&counter, new QEvent(QEvent::User));
    TIdAntiFreezeBase::KeepResponsive(true);
    EXPECT_EQ(counter.seen, 3);
    TIdAntiFreezeBase::KeepResponsive(true); // nothing pending: returns at once
    EXPECT_EQ(counter.seen, 3);
}

TEST(QtAntiFreeze, WithoutAnApplicationNothingHappens)
{
    // Before the application object exists (or after it is gone) there is no main thread
    // to pump for: both calls return without touching Qt, which would abort.
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    TIdAntiFreeze antiFreeze;
    EXPECT_EQ(CurrentAntiFreeze, &antiFreeze);
    EXPECT_NO_FATAL_FAILURE(TIdAntiFreezeBase::KeepResponsive(true));
    EXPECT_NO_FATAL_FAILURE(antiFreeze.PumpMessages());
    EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

} // namespace
