// Helpers shared by the device messaging tests: stderr capture, a recording host and a
// notification queue standing in for the window's message queue.
#pragma once

#include "app/DeviceHandlers.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Longest wait for something that must come (a reply, a notification): far beyond what a
// loaded 2-core machine under sanitizers takes, so reaching it means the event never came.
// Waits for something that must not come stay short: a slow machine only makes them weaker.
inline constexpr int PatienceMs = 20000;

// Redirects file descriptor 2 into a temporary file while alive.
class StderrCapture {
public:
    StderrCapture() : file_(std::tmpfile())
    {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture()
    {
        Restore();
        std::fclose(file_);
    }
    void Restore()
    {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::string Text()
    {
        std::fflush(stderr);
        std::string text;
        const long size = ::lseek(::fileno(file_), 0, SEEK_END);
        text.resize(static_cast<size_t>(size));
        if (size > 0 && ::pread(::fileno(file_), text.data(), text.size(), 0) != size) text.clear();
        return text;
    }

private:
    FILE* file_;
    int saved_ = -1;
};

// The window's handlers with a stand-in for the window.
class TestHost : public DeviceHandlers {
public:
    std::string ip;
    std::string password;
    std::vector<std::string> messages;
    std::function<void()> whileBoxOpen; // runs as the box's message loop would

    std::string IpText() override { return ip; }
    std::string PasswordText() override { return password; }
    void ShowMessage(const std::string& text) override
    {
        messages.push_back(text);
        if (whileBoxOpen) whileBoxOpen();
    }
};

// The window's message queue: the library's receiver thread posts, the test thread pumps.
class NotifyQueue {
public:
    struct Message {
        uint32_t message;
        uintptr_t wParam;
        std::thread::id poster;
    };

    NDXL_Window Window() { return NDXL_Window{&NotifyQueue::Post, this}; }

    static void Post(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam)
    {
        auto* self = static_cast<NotifyQueue*>(context);
        if (wParam == 2) {
            // Replies the library lost: counted, never a message to take.
            self->lost_ += static_cast<size_t>(lParam);
            return;
        }
        {
            std::lock_guard lock(self->mutex_);
            self->queue_.push_back({message, wParam, std::this_thread::get_id()});
            ++self->posted_;
        }
        self->ready_.notify_all();
    }

    // Hands every message arriving within ms to handle; stops early when done() holds.
    void Pump(int ms, const std::function<void(const Message&)>& handle, const std::function<bool()>& done = {})
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            Message message{};
            {
                std::unique_lock lock(mutex_);
                if (!ready_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) return;
                message = queue_.front();
                queue_.pop_front();
            }
            handle(message);
            if (done && done()) return;
        }
    }

    // Waits until at least count messages are queued (not taken).
    bool WaitQueued(size_t count, int ms = PatienceMs)
    {
        std::unique_lock lock(mutex_);
        return ready_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return queue_.size() >= count; });
    }

    size_t Posted()
    {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    size_t Lost() const { return lost_.load(); }

    std::vector<Message> Drain()
    {
        std::lock_guard lock(mutex_);
        std::vector<Message> all(queue_.begin(), queue_.end());
        queue_.clear();
        return all;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Message> queue_;
    size_t posted_ = 0;
    std::atomic<size_t> lost_{0};
};
