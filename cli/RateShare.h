// The fleet's rate cap (--max-rate), shared fairly among the transfers running at once. It
// lives in memory shared with the device processes, made before they fork: each marks its
// slot while it writes and asks for its share before each send, so the share follows
// transfers as they start and end without a word through the parent. The parent clears the
// slot of a process that was killed mid-write.
#pragma once

#include "upgrade/UpgradePolicy.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace fleet {

class RateShare {
public:
    static constexpr size_t Slots = ::upgrade::MaxJobs; // one per job at most (--jobs)

    // capBitsPerSecond above 0. Throws std::runtime_error when no shared memory is had.
    explicit RateShare(uint64_t capBitsPerSecond);
    ~RateShare();
    RateShare(const RateShare&) = delete;
    RateShare& operator=(const RateShare&) = delete;

    void Begin(size_t slot) const; // a transfer writes from its slot
    void End(size_t slot) const;   // it stopped (again: nothing changes)
    // The cap divided among the transfers writing now (the whole cap when none is).
    uint64_t Share() const;
    size_t Writing() const;

private:
    struct Shared {
        uint64_t cap = 0;
        std::atomic<uint32_t> writing{0};
        std::atomic<uint8_t> slot[Slots];
    };
    Shared* shared_ = nullptr;
};

} // namespace fleet
