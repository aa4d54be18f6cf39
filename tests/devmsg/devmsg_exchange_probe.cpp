// One discovery and password attempt against whatever answers, as the upgrade sequence makes
// it: devmsg_exchange_probe IP PASSWORD [WAIT_MS [NOTIFICATIONS]]. Waits WAIT_MS, or less once
// NOTIFICATIONS notifications were handled; prints the flags, the count and any operator message.
// Set NDXL_BROADCAST (e.g. 127.255.255.255) and run inside a private network namespace.
#include "app/DeviceHandlers.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace {

struct Queue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<uintptr_t> wParams;
};

void Post(void* context, uint32_t message, uintptr_t wParam, intptr_t)
{
    auto* queue = static_cast<Queue*>(context);
    if (message != WM_NDXL_NOTIFY) return;
    {
        std::lock_guard lock(queue->mutex);
        queue->wParams.push_back(wParam);
    }
    queue->ready.notify_one();
}

class ProbeHost : public DeviceHandlers {
public:
    ProbeHost(std::string ip, std::string password) : ip_(std::move(ip)), password_(std::move(password)) {}

protected:
    std::string IpText() override { return ip_; }
    std::string PasswordText() override { return password_; }
    void ShowMessage(const std::string& text) override { std::printf("message: %s\n", text.c_str()); }

private:
    std::string ip_, password_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: devmsg_exchange_probe IP PASSWORD [WAIT_MS [NOTIFICATIONS]]\n");
        return 2;
    }
    const int waitMs = argc > 3 ? std::atoi(argv[3]) : 500;
    const long until = argc > 4 ? std::atol(argv[4]) : -1;
    Queue queue;
    const NDXL_Window window{&Post, &queue};
    if (devmsg::OpenDeviceLibrary(window) != 0) {
        devmsg::CloseDeviceLibrary();
        std::printf("open failed\n");
        return 1;
    }
    ProbeHost host(argv[1], argv[2]);
    DeviceHandlers& exchange = host;
    PasswordAccepted = 0;
    exchange.SearchDevice();
    DeviceFound = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    long handled = 0;
    while (handled != until) {
        uintptr_t wParam = 0;
        {
            std::unique_lock lock(queue.mutex);
            if (!queue.ready.wait_until(lock, deadline, [&] { return !queue.wParams.empty(); })) break;
            wParam = queue.wParams.front();
            queue.wParams.pop_front();
        }
        exchange.OnWM_NDXL_Notify(wParam);
        ++handled;
    }
    devmsg::CloseDeviceLibrary();
    std::printf("DeviceFound=%d PasswordAccepted=%d notifications=%ld\n", DeviceFound, PasswordAccepted, handled);
    return 0;
}
