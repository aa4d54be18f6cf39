#include "cli/RateShare.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace fleet {

static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<uint8_t>::is_always_lock_free,
              "shared between processes, the counters must not take a lock");

RateShare::RateShare(uint64_t capBitsPerSecond)
{
    void* memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::runtime_error(std::string("--max-rate: no shared memory: ") + std::strerror(errno));
    shared_ = new (memory) Shared;
    shared_->cap = capBitsPerSecond;
    for (auto& s : shared_->slot)
        s.store(0);
}

RateShare::~RateShare()
{
    shared_->~Shared();
    ::munmap(shared_, sizeof(Shared));
}

void RateShare::Begin(size_t slot) const
{
    if (slot < Slots && shared_->slot[slot].exchange(1) == 0) shared_->writing.fetch_add(1);
}

void RateShare::End(size_t slot) const
{
    if (slot < Slots && shared_->slot[slot].exchange(0) == 1) shared_->writing.fetch_sub(1);
}

size_t RateShare::Writing() const
{
    return shared_->writing.load();
}

uint64_t RateShare::Share() const
{
    const uint32_t writing = shared_->writing.load();
    return shared_->cap / (writing > 0 ? writing : 1);
}

} // namespace fleet
