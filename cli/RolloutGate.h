// Staged rollouts: which devices may start, given how the earlier ones ended.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fleet {

// The first `canaries` devices (in list order) go first; the rest start only once every
// canary succeeded. Once a canary failed, or `maxFailures` devices failed (0: no limit), no
// further device starts. Positions count the devices to be started.
class RolloutGate {
public:
    RolloutGate(size_t canaries, size_t maxFailures) : canaries_(canaries), maxFailures_(maxFailures) {}

    bool MayStart(size_t position) const;
    // A device's final outcome; what names it for the reason ("127.0.0.10: tftp-error").
    void Settled(size_t position, bool success, std::string_view what);
    bool Stopped() const { return !reason_.empty(); }
    // Why devices were not started, for their report ("a canary failed (...)").
    const std::string& Reason() const { return reason_; }

private:
    size_t canaries_;
    size_t maxFailures_;
    size_t canariesSettled_ = 0;
    size_t failures_ = 0;
    std::string reason_;
};

} // namespace fleet
