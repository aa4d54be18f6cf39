#include "net/IdAntiFreezeBase.h"

#include <sys/syscall.h>
#include <unistd.h>

TIdAntiFreezeBase* CurrentAntiFreeze = nullptr;

TIdAntiFreezeBase::TIdAntiFreezeBase()
{
    CurrentAntiFreeze = this;
}

TIdAntiFreezeBase::~TIdAntiFreezeBase()
{
    CurrentAntiFreeze = nullptr;
}

bool TIdAntiFreezeBase::OnMainThread() const
{
    // On Linux the first thread's id is the process id.
    return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
}

void TIdAntiFreezeBase::KeepResponsive(bool idle)
{
    TIdAntiFreezeBase* antiFreeze = CurrentAntiFreeze;
    if (!antiFreeze || !antiFreeze->OnMainThread()) return;
    if (!idle && antiFreeze->OnlyWhenIdle()) return;
    if (!antiFreeze->Active()) return;
    antiFreeze->PumpMessages();
}
