#include "net/IdComponent.h"

#include "net/IdStack.h"

#include <mutex>

TIdStack* GlobalStack = nullptr;

namespace {

void FreeStack(TIdStack* stack)
{
    delete stack;
}

TIdStackMaker g_makeStack = &TIdStack::MakeStack;
TIdStackFreer g_freeStack = &FreeStack;
int32_t g_instanceCount = 0;
// Components may be made and freed on several threads (one upload per thread): the count
// and the stack's birth and death change together. Using the stack needs no lock, since a
// thread that holds a component keeps the count above 0.
std::mutex g_lifeMutex;

// Running totals wrap like the 32-bit counters they are, instead of overflowing.
int32_t WrappingAdd(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

} // namespace

void RegisterStackFactory(TIdStackMaker make, TIdStackFreer free, TIdStackMaker* previousMake,
                          TIdStackFreer* previousFree)
{
    if (previousMake) *previousMake = g_makeStack;
    if (previousFree) *previousFree = g_freeStack;
    g_makeStack = make;
    g_freeStack = free;
}

TIdComponent::TIdComponent()
{
    // A failing stack start-up fails the construction before the component is counted.
    const std::lock_guard<std::mutex> lock(g_lifeMutex);
    if (!GlobalStack && g_makeStack) GlobalStack = g_makeStack();
    ++g_instanceCount;
}

TIdComponent::~TIdComponent()
{
    const std::lock_guard<std::mutex> lock(g_lifeMutex);
    if (--g_instanceCount == 0 && GlobalStack) {
        TIdStack* stack = GlobalStack;
        GlobalStack = nullptr;
        if (g_freeStack) g_freeStack(stack);
    }
}

int32_t TIdComponent::InstanceCount()
{
    const std::lock_guard<std::mutex> lock(g_lifeMutex);
    return g_instanceCount;
}

void TIdComponent::WorkBegin(TWorkMode AWorkMode, int32_t ASize)
{
    TWorkInfo& info = Info(AWorkMode);
    ++info.Depth;
    if (info.Depth == 1) {
        info.CountMax = ASize;
        info.Count = 0;
        if (OnWorkBegin) OnWorkBegin(this, AWorkMode, ASize);
    }
}

void TIdComponent::WorkAdd(TWorkMode AWorkMode, int32_t ACount)
{
    TWorkInfo& info = Info(AWorkMode);
    if (info.Depth <= 0) return;
    info.Count = WrappingAdd(info.Count, ACount);
    if (OnWork) OnWork(this, AWorkMode, info.Count);
}

void TIdComponent::WorkEnd(TWorkMode AWorkMode)
{
    TWorkInfo& info = Info(AWorkMode);
    // A throwing handler leaves before the depth is lowered.
    if (info.Depth == 1 && OnWorkEnd) OnWorkEnd(this, AWorkMode);
    --info.Depth;
}
