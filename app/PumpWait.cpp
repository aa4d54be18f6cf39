#include "app/PumpWait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace {

int pumpWaitDepth = 0;

} // namespace

bool InsidePumpWait()
{
    return pumpWaitDepth > 0;
}

void PumpWait(uint32_t milliseconds)
{
    ++pumpWaitDepth;
    struct Leave {
        ~Leave() { --pumpWaitDepth; }
    } leave;
    QElapsedTimer clock;
    clock.start();
    // Sleeping in the dispatcher until the next event or the deadline dispatches exactly
    // what a busy poll would, without holding a processor for the whole wait. The wake-up
    // is precise and re-armed: a coarse timer may fire early and leave the loop asleep.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    for (;;) {
        const qint64 remaining = static_cast<qint64>(milliseconds) - clock.elapsed();
        if (remaining <= 0) break;
        wake.start(static_cast<int>(remaining));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}
