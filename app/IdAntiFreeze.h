// The anti-freeze of a Qt application: handles the application's pending events.
#pragma once

#include "net/IdAntiFreezeBase.h"

class TIdAntiFreeze : public TIdAntiFreezeBase {
public:
    // Qt 6.4 offers no call that handles exactly one event; its smallest unit is one
    // non-waiting pass of the event dispatcher, which handles the events pending when it
    // starts and returns at once when there are none. Both settings of
    // ApplicationHasPriority therefore run one such pass.
    void PumpMessages() override;

protected:
    // The thread that runs the application object's event loop.
    bool OnMainThread() const override;
};
