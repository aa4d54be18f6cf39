// The messaging library: one UDP socket, broadcast requests, a receiver thread that queues
// the devices' unicast answers and posts one notification per queued record.
#include "devmsg/ndxl.h"

#include "posix/Fd.h"
#include "devmsg/NdxlCore.h"
#include "devmsg/wire/NdxlWire.h"
#include "posix/Udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

using posix::Fd;

void Log(const std::string& text)
{
    const std::string line = "ndxl: " + text + "\n";
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string ErrnoText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

sockaddr_in Endpoint(uint32_t hostOrderAddress, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    address.sin_port = htons(port);
    return address;
}

// Every device on a network answers each discovery request at once: room for a few hundred
// answers, where the system's default holds about a hundred.
constexpr int ReceiveBufferBytes = 4 * 1024 * 1024;

void WidenReceiveBuffer(int fd)
{
    // Above the system's limit only with the right to exceed it; otherwise as much as allowed.
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &ReceiveBufferBytes, sizeof ReceiveBufferBytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ReceiveBufferBytes, sizeof ReceiveBufferBytes);
    // Count what the kernel drops when it is full anyway.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
}

// Whoever watches the datagrams (a packet trace), as NDXL_SetObserver left it.
struct Observer {
    NDXL_Observer seen = nullptr;
    void* context = nullptr;
};

class Session {
public:
    Session(std::string vendor, NDXL_Window window, uint32_t message, devmsg::Settings settings, Fd socket,
            Fd wake, Observer observer)
        : vendor_(std::move(vendor)), window_(window), message_(message), settings_(settings),
          socket_(std::move(socket)), wake_(std::move(wake)), observer_(observer)
    {
        if (observer_.seen != nullptr) {
            sockaddr_in self{};
            socklen_t length = sizeof self;
            ::getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&self), &length);
            self_ = self;
        }
        receiver_ = std::thread([this] { Receive(); });
    }

    ~Session()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake_.Get(), &one, sizeof one);
        if (receiver_.joinable()) receiver_.join();
    }

    int32_t Send(const uint8_t* frame)
    {
        const auto datagram = devmsg::wire::WrapRequest(vendor_, frame);
        std::vector<uint32_t> targets;
        if (settings_.broadcast)
            targets.push_back(*settings_.broadcast);
        else
            targets = devmsg::BroadcastTargets(devmsg::SystemInterfaces());
        if (targets.empty()) {
            Log("no broadcast-capable interface is up; request not sent");
            return 2;
        }
        int sent = 0;
        for (const uint32_t target : targets) {
            const sockaddr_in to = Endpoint(target, settings_.port);
            if (::sendto(socket_.Get(), datagram.data(), datagram.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to),
                         sizeof to) == static_cast<ssize_t>(datagram.size())) {
                ++sent;
                Saw(true, to, datagram.data(), datagram.size());
            } else
                Log(ErrnoText(("sendto " + devmsg::AddressText(target)).c_str()));
        }
        return sent > 0 ? 0 : 3;
    }

    int32_t Get(uint8_t* buffer) { return queue_.Pop(buffer) ? 0 : 1; }

private:
    void Receive()
    {
        // Room for more than a reply datagram, so that oversized ones are seen and cut.
        std::vector<uint8_t> buffer(4096);
        pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
        for (;;) {
            fds[0].revents = fds[1].revents = 0;
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                Log(ErrnoText("poll"));
                return;
            }
            if (fds[1].revents != 0) return;
            if ((fds[0].revents & POLLERR) != 0) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, &error, &length); // clears it
            }
            if ((fds[0].revents & POLLIN) == 0) continue;
            sockaddr_in from{};
            iovec part{buffer.data(), buffer.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(socket_.Get(), &message, MSG_TRUNC | MSG_DONTWAIT);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Log(ErrnoText("recvmsg"));
                continue;
            }
            NoteKernelDrops(message);
            Saw(false, from, buffer.data(), std::min<size_t>(static_cast<size_t>(n), buffer.size()));
            Accept(
                std::span<const uint8_t>(buffer.data(), std::min<size_t>(static_cast<size_t>(n), buffer.size())),
                static_cast<size_t>(n), ntohl(from.sin_addr.s_addr));
        }
    }

    void Accept(std::span<const uint8_t> datagram, size_t fullLength, uint32_t from)
    {
        const auto record = devmsg::wire::UnwrapReply(datagram);
        if (!record) return; // not ours
        if (fullLength > devmsg::wire::MaxReplyDatagramSize)
            Log("reply from " + devmsg::AddressText(from) + " is " + std::to_string(fullLength) +
                " bytes; record cut to 800");
        if (!queue_.Push(*record)) {
            Log("reply queue full; reply from " + devmsg::AddressText(from) + " dropped");
            Lost(1);
            return;
        }
        if (window_.post != nullptr) window_.post(window_.context, message_, 1, 0);
    }

    // The socket's drop counter (SO_RXQ_OVFL) rides along with each datagram; it only grows.
    void NoteKernelDrops(const msghdr& message)
    {
        for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
             c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
            uint32_t total = 0;
            std::memcpy(&total, CMSG_DATA(c), sizeof total);
            if (total != kernelDrops_) {
                const uint32_t lost = total - kernelDrops_;
                kernelDrops_ = total;
                Log(std::to_string(lost) + " replies dropped: the receive buffer was full");
                Lost(lost);
            }
        }
    }

    void Saw(bool sent, const sockaddr_in& peer, const void* bytes, size_t size) const
    {
        if (observer_.seen == nullptr) return;
        const NDXL_Datagram datagram{sent ? 1 : 0,
                                     ntohl(self_.sin_addr.s_addr),
                                     ntohs(self_.sin_port),
                                     ntohl(peer.sin_addr.s_addr),
                                     ntohs(peer.sin_port),
                                     bytes,
                                     static_cast<uint32_t>(size)};
        observer_.seen(observer_.context, &datagram);
    }

    void Lost(uint32_t count)
    {
        if (window_.post != nullptr) window_.post(window_.context, message_, 2, static_cast<intptr_t>(count));
    }

    const std::string vendor_;
    const NDXL_Window window_;
    const uint32_t message_;
    const devmsg::Settings settings_;
    Fd socket_;
    Fd wake_;
    const Observer observer_;
    sockaddr_in self_{};
    devmsg::ReplyQueue queue_;
    uint32_t kernelDrops_ = 0; // receiver thread only
    std::thread receiver_;     // last: starts after everything it uses exists
};

std::mutex g_mutex;
std::unique_ptr<Session> g_session;
Observer g_observer;

std::unique_ptr<Session> Open(const char* vendor, const NDXL_Window& window, uint32_t message)
{
    std::string error;
    bool ok = false;
    const devmsg::Settings settings = devmsg::SettingsFromEnvironment(error, ok);
    if (!ok) {
        Log(error);
        return nullptr;
    }
    // A loopback destination keeps the whole exchange on loopback: bind there too.
    const bool loopback = settings.broadcast && (*settings.broadcast >> 24) == 127;
    Fd socket;
    try {
        socket = posix::BindUdp(loopback ? "127.0.0.1" : "0.0.0.0", settings.localPort, {.broadcast = true});
        WidenReceiveBuffer(socket.Get());
    } catch (const std::exception& e) {
        Log(e.what());
        return nullptr;
    }
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
        Log(ErrnoText("eventfd"));
        return nullptr;
    }
    try {
        return std::make_unique<Session>(vendor != nullptr ? vendor : "", window, message, settings,
                                         std::move(socket), std::move(wake), g_observer);
    } catch (const std::exception& e) {
        Log(std::string("cannot start the receiver: ") + e.what());
        return nullptr;
    }
}

} // namespace

extern "C" int32_t NDXL_Init(const char* vendor, const NDXL_Window* window, uint32_t message, int32_t /*mode*/)
{
    std::lock_guard lock(g_mutex);
    if (g_session) {
        Log("already initialised");
        return 1;
    }
    if (window == nullptr) {
        Log("no window given");
        return 1;
    }
    g_session = Open(vendor, *window, message);
    return g_session ? 0 : 1;
}

extern "C" int32_t NDXL_SendData(const void* frame)
{
    std::lock_guard lock(g_mutex);
    if (!g_session || frame == nullptr) return 1;
    return g_session->Send(static_cast<const uint8_t*>(frame));
}

extern "C" int32_t NDXL_GetData(void* buffer)
{
    std::lock_guard lock(g_mutex);
    if (!g_session || buffer == nullptr) return 1;
    return g_session->Get(static_cast<uint8_t*>(buffer));
}

extern "C" void NDXL_SetObserver(NDXL_Observer seen, void* context)
{
    std::lock_guard lock(g_mutex);
    g_observer = {seen, context};
}

extern "C" int32_t NDXL_Terminate(void)
{
    std::unique_ptr<Session> session;
    {
        std::lock_guard lock(g_mutex);
        session = std::move(g_session);
    }
    session.reset(); // joins the receiver outside the lock
    return 0;
}
