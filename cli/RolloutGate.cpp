#include "cli/RolloutGate.h"

namespace fleet {

bool RolloutGate::MayStart(size_t position) const
{
    if (Stopped()) return false;
    return position < canaries_ || canariesSettled_ >= canaries_;
}

void RolloutGate::Settled(size_t position, bool success, std::string_view what)
{
    if (position < canaries_) ++canariesSettled_;
    if (success) return;
    ++failures_;
    if (Stopped()) return;
    // A failed canary stops even the canaries not yet started: the image is suspect.
    if (position < canaries_)
        reason_ = "a canary failed (" + std::string(what) + ")";
    else if (maxFailures_ > 0 && failures_ >= maxFailures_)
        reason_ = std::to_string(failures_) + (failures_ == 1 ? " device" : " devices") +
                  " failed (--max-failures " + std::to_string(maxFailures_) + ")";
}

} // namespace fleet
