#include "cli/DeviceLink.h"

#include "devmsg/DeviceExchange.h"
#include "devmsg/wire/DeviceFrames.h"
#include "devmsg/ndxl.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace fleet {

namespace {

// Runs on the library's receiver thread: only counts, never handles.
void PostNotification(void* context, uint32_t /*message*/, uintptr_t wParam, intptr_t lParam)
{
    auto* notices = static_cast<DeviceLink::Notices*>(context);
    if (wParam == 2 && lParam > 0) notices->dropped.fetch_add(static_cast<uint64_t>(lParam));
    if (wParam != 1) return;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(notices->wake.Get(), &one, sizeof one);
}

} // namespace

DeviceLink::DeviceLink()
{
    notices_.wake.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!notices_.wake) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    const NDXL_Window window{&PostNotification, &notices_};
    if (devmsg::OpenDeviceLibrary(window) != 0) {
        devmsg::CloseDeviceLibrary();
        throw std::runtime_error("the device messaging library cannot be opened (see its message above)");
    }
}

DeviceLink::~DeviceLink()
{
    devmsg::CloseDeviceLibrary(); // no notification is posted after it returns; then notices_ may go
}

void DeviceLink::Send(const std::vector<uint8_t>& frame)
{
    switch (NDXL_SendData(frame.data())) {
    case 0: return;
    case 2: throw std::runtime_error("no broadcast-capable interface is up; the device library sent nothing");
    default: throw std::runtime_error("the device library could not send the request (its message says why)");
    }
}

void DeviceLink::SendDiscovery()
{
    Send(devmsg::frames::BuildDiscoveryRequest());
}

std::optional<std::vector<uint8_t>> DeviceLink::Next(Clock::time_point deadline, int stopFd)
{
    std::vector<uint8_t> record(devmsg::frames::ReplySize);
    for (;;) {
        if (NDXL_GetData(record.data()) == 0) return record;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd fds[2] = {{notices_.wake.Get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(left)) > 0) {
            if (stopFd >= 0 && fds[1].revents != 0) return std::nullopt;
            uint64_t count = 0;
            [[maybe_unused]] const auto n = ::read(notices_.wake.Get(), &count, sizeof count);
        }
    }
}

Discovery Discover(int waitMs, FleetStop* stop, const std::vector<std::string>* wanted)
{
    using Clock = DeviceLink::Clock;
    const auto round = std::chrono::milliseconds(std::max(250, waitMs / 4));
    const auto quiet = std::chrono::milliseconds(std::min(200, waitMs));
    DeviceLink link;
    Discovery found;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(waitMs);
    auto nextRound = start;
    auto lastAnswer = start;
    const auto allFound = [&] {
        return wanted != nullptr && std::all_of(wanted->begin(), wanted->end(),
                                                [&](const std::string& ip) { return found.table.Find(ip); });
    };
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline || (allFound() && now >= lastAnswer + quiet)) break;
        if (now >= nextRound) {
            link.SendDiscovery();
            nextRound = now + round;
        }
        auto until = std::min(deadline, nextRound);
        if (allFound()) until = std::min(until, lastAnswer + quiet);
        const auto record = link.Next(until, stop != nullptr ? stop->Fd() : -1);
        if (stop != nullptr && (stop->Take(), stop->Asked())) break;
        if (record && found.table.Add(*record)) lastAnswer = Clock::now();
    }
    found.dropped = link.Dropped();
    return found;
}

void WarnAboutAnswers(const Discovery& found, const std::function<void(const std::string&)>& warn)
{
    for (const auto& text : found.table.Malformed())
        warn("warning: a device answered with '" + text + "' as its address, which is no IPv4 address; skipped");
    if (found.dropped > 0)
        warn("warning: " + std::to_string(found.dropped) +
             " discovery answers were lost to a full receive buffer; devices may be missing (a longer --wait "
             "gives them more rounds)");
}

} // namespace fleet
