// The readiness wait of the socket stack.
#include "net/IdException.h"
#include "net/IdStackWinsock.h"

#include <cerrno>
#include <chrono>
#include <poll.h>

int TIdStackWinsock::WaitSockets(TIdSocketList* readList, TIdSocketList* writeList, TIdSocketList* errorList,
                                 int32_t ms)
{
    TIdSocketList* lists[3] = {readList, writeList, errorList};
    for (TIdSocketList* list : lists)
        if (list && list->size() > Id_SOCKET_SET_SIZE) throw EIdStackSetSizeExceeded("Set Size Exceeded.");
    if (ms < 0 && ms != WaitForever) {
        SetLastError(Id_WSAEINVAL);
        return Id_SOCKET_ERROR;
    }

    // poll() in place of select(): the same readiness, without select's limit on
    // descriptor values.
    constexpr short PollEvents[3] = {POLLIN, POLLOUT, POLLPRI};
    pollfd fds[3 * Id_SOCKET_SET_SIZE];
    size_t count = 0;
    for (int i = 0; i < 3; ++i)
        if (lists[i])
            for (TIdStackSocketHandle socket : *lists[i])
                fds[count++] = pollfd{socket, PollEvents[i], 0};

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    int timeout = ms < 0 ? -1 : ms;
    // A signal does not end the wait early.
    while (::poll(fds, count, timeout) < 0) {
        if (errno != EINTR) {
            SetLastError(WSACodeFromErrno(errno));
            return Id_SOCKET_ERROR;
        }
        if (ms >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
    }

    int ready = 0;
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (!lists[i]) continue;
        TIdSocketList& list = *lists[i];
        size_t kept = 0;
        for (size_t j = 0; j < list.size(); ++j, ++at) {
            const short revents = fds[at].revents;
            if (revents & POLLNVAL) {
                SetLastError(Id_WSAEBADF);
                return Id_SOCKET_ERROR;
            }
            // select() reports a socket with a pending error as readable and writable.
            const auto wanted = static_cast<short>(i == 2 ? POLLPRI : PollEvents[i] | POLLERR | POLLHUP);
            if (revents & wanted) list[kept++] = list[j];
        }
        list.resize(kept);
        ready += static_cast<int>(kept);
    }
    return ready;
}
