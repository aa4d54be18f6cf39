// Keeps the single-threaded window responsive while a socket wait blocks: waits are cut
// into slices and pending window messages are handled after each slice.
#pragma once

#include "net/IdComponent.h"

#include <cstdint>

class TIdAntiFreezeBase : public TIdBaseComponent {
public:
    // The new object becomes the one in force, replacing any earlier one.
    TIdAntiFreezeBase();
    // Leaves none in force, also when another one was in force.
    ~TIdAntiFreezeBase() override;

    bool Active() const { return active_; }
    void SetActive(bool value) { active_ = value; }
    bool ApplicationHasPriority() const { return applicationHasPriority_; }
    void SetApplicationHasPriority(bool value) { applicationHasPriority_ = value; }
    int32_t IdleTimeOut() const { return idleTimeOut_; }
    void SetIdleTimeOut(int32_t value) { idleTimeOut_ = value; }
    bool OnlyWhenIdle() const { return onlyWhenIdle_; }
    void SetOnlyWhenIdle(bool value) { onlyWhenIdle_ = value; }

    virtual void PumpMessages() = 0;

    // Called after every slice of a socket wait; idle tells that the slice ended without
    // the socket becoming readable. Does nothing off the application's main thread.
    static void KeepResponsive(bool idle);

protected:
    // Whether the calling thread is the one whose messages PumpMessages handles. The
    // default is the process's first thread.
    virtual bool OnMainThread() const;

private:
    bool active_ = true;
    bool applicationHasPriority_ = true;
    int32_t idleTimeOut_ = 250;
    bool onlyWhenIdle_ = true;
};

// The anti-freeze in force, or none. Not owned.
extern TIdAntiFreezeBase* CurrentAntiFreeze;
