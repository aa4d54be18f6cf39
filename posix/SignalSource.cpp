#include "posix/SignalSource.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace posix {

SignalSource::SignalSource(std::initializer_list<int> signals)
{
    sigemptyset(&set_);
    for (const int s : signals)
        sigaddset(&set_, s);
    pthread_sigmask(SIG_BLOCK, &set_, &before_);
    fd_.Reset(::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_) {
        const int error = errno;
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
        throw std::runtime_error(std::string("signalfd: ") + std::strerror(error));
    }
}

SignalSource::~SignalSource()
{
    if (fd_) pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

std::optional<int> SignalSource::Next()
{
    signalfd_siginfo info{};
    for (;;) {
        const ssize_t n = ::read(fd_.Get(), &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
        if (n < 0 && errno == EINTR) continue;
        return std::nullopt;
    }
}

int SignalSource::Wait()
{
    for (;;) {
        if (const auto signal = Next()) return *signal;
        pollfd p{fd_.Get(), POLLIN, 0};
        ::poll(&p, 1, -1);
    }
}

void SignalSource::ReleaseInChild()
{
    fd_.Reset();
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

} // namespace posix
