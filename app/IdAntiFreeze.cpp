#include "app/IdAntiFreeze.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

void TIdAntiFreeze::PumpMessages()
{
    if (!QCoreApplication::instance()) return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool TIdAntiFreeze::OnMainThread() const
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
