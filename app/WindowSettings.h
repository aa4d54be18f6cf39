// The settings the window gives its TFTP client and anti-freeze. They are the window's own,
// apart from the defaults of our command-line tools (upgrade/UpgradePolicy.h), so that
// tuning a tool never changes what the window does.
#pragma once

#include <cstdint>

namespace app::window {

inline constexpr int32_t TftpPort = 69;
inline constexpr int32_t ReceiveTimeoutMs = 4000;
inline constexpr int32_t RequestedBlockSize = 1024;

// Messages are handled after every slice of a socket wait, not only after idle ones.
inline constexpr bool AntiFreezeOnlyWhenIdle = false;
inline constexpr bool AntiFreezeActive = true;
inline constexpr bool AntiFreezeApplicationHasPriority = true;
inline constexpr int32_t AntiFreezeIdleTimeOutMs = 250;

} // namespace app::window
