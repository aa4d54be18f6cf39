// Base of the network components: work (progress) events and the life of the
// process-wide socket stack.
#pragma once

#include <cstdint>
#include <functional>

class TIdStack;

// The one socket stack; present exactly while at least one TIdComponent is alive.
extern TIdStack* GlobalStack;

using TIdStackMaker = TIdStack* (*)();
using TIdStackFreer = void (*)(TIdStack*);

// The functions TIdComponent uses to make and free GlobalStack are the real stack's; this
// seam lets tests swap in their own stacks, returning the previous pair through the
// optional out-parameters.
void RegisterStackFactory(TIdStackMaker make, TIdStackFreer free, TIdStackMaker* previousMake = nullptr,
                          TIdStackFreer* previousFree = nullptr);

class TIdBaseComponent {
public:
    TIdBaseComponent() = default;
    virtual ~TIdBaseComponent() = default;
    TIdBaseComponent(const TIdBaseComponent&) = delete;
    TIdBaseComponent& operator=(const TIdBaseComponent&) = delete;
};

enum TWorkMode : int32_t { wmRead = 0, wmWrite = 1 };

struct TWorkInfo {
    int32_t Count = 0;
    int32_t CountMax = 0;
    int32_t Depth = 0;
};

class TIdComponent : public TIdBaseComponent {
public:
    using TWorkEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCount)>;
    using TWorkBeginEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, int32_t AWorkCountMax)>;
    using TWorkEndEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode)>;

    TIdComponent();
    ~TIdComponent() override;

    // Only the outermost begin and end of one mode reach the handlers.
    virtual void WorkBegin(TWorkMode AWorkMode, int32_t ASize);
    virtual void WorkAdd(TWorkMode AWorkMode, int32_t ACount);
    virtual void WorkEnd(TWorkMode AWorkMode);

    const TWorkInfo& WorkInfo(TWorkMode AWorkMode) const { return work_[AWorkMode == wmWrite ? 1 : 0]; }

    // Live TIdComponent objects in the process.
    static int32_t InstanceCount();

    TWorkEvent OnWork;
    TWorkBeginEvent OnWorkBegin;
    TWorkEndEvent OnWorkEnd;

private:
    TWorkInfo& Info(TWorkMode AWorkMode) { return work_[AWorkMode == wmWrite ? 1 : 0]; }
    TWorkInfo work_[2];
};
