#include "DeviceLink.h"

#include "DeviceExchange.h"
#include "DeviceFrames.h"
#include "ndxl.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// Runs on the library's receiver thread: only counts, never handles.
void PostNotification(void* context, uint32_t /*message*/, uintptr_t wParam, intptr_t /*lParam*/)
{
    if (wParam != 1) return;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(static_cast<const posix::Fd*>(context)->Get(), &one, sizeof one);
}

} // namespace

DeviceLink::DeviceLink() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!wake_) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    const NDXL_Window window{&PostNotification, &wake_};
    if (OpenDeviceLibrary(window) != 0) {
        CloseDeviceLibrary();
        throw std::runtime_error("the device messaging library cannot be opened (see its message above)");
    }
}

DeviceLink::~DeviceLink()
{
    CloseDeviceLibrary(); // no notification is posted after it returns; then wake_ may go
}

void DeviceLink::Send(const std::vector<uint8_t>& frame)
{
    NDXL_SendData(frame.data());
}

void DeviceLink::SendDiscovery()
{
    Send(DeviceFrames::BuildDiscoveryRequest());
}

std::optional<std::vector<uint8_t>> DeviceLink::Next(Clock::time_point deadline)
{
    std::vector<uint8_t> record(DeviceFrames::ReplySize);
    for (;;) {
        if (NDXL_GetData(record.data()) == 0) return record;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd fd{wake_.Get(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left)) > 0) {
            uint64_t count = 0;
            [[maybe_unused]] const auto n = ::read(wake_.Get(), &count, sizeof count);
        }
    }
}
