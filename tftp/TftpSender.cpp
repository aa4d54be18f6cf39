#include "tftp/TftpSender.h"

#include "rtl/Exception.h"
#include "posix/Fd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace tftp {

namespace {

using Clock = std::chrono::steady_clock;

// The kernel's limits on one segmented send: segments, and bytes as for any datagram.
constexpr size_t MaxSegments = 64;
constexpr size_t MaxUdpPayload = 65507;

[[noreturn]] void SystemError(const char* call)
{
    throw Exception(rtl::Format("%s: %s", call, std::strerror(errno)));
}

sockaddr_in Resolve(const std::string& host, uint16_t port)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* raw = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw); rc != 0)
        throw Exception(rtl::Format("Cannot find host %s: %s", host.c_str(), ::gai_strerror(rc)));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(raw, &::freeaddrinfo);
    sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    address.sin_port = htons(port);
    return address;
}

sockaddr_in AddressOf(Peer peer)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(peer.address);
    address.sin_port = htons(peer.port);
    return address;
}

void SetReceiveTimeout(int fd, int32_t ms)
{
    const timeval tv{ms / 1000, (ms % 1000) * 1000};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) SystemError("setsockopt");
}

void SendTo(int fd, const sockaddr_in& to, const void* bytes, size_t size)
{
    if (::sendto(fd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) SystemError("sendto");
}

// The file's bytes from the first unacknowledged block on, read in large pieces.
class Source {
public:
    Source(int fd, int64_t size)
        : fd_(fd), size_(size), capacity_(ReadAhead), buffer_(new uint8_t[HeaderSize + ReadAhead])
    {}

    // Makes [from, to) available and returns where from is; bytes below from are dropped. The
    // HeaderSize bytes in front of from are scratch: a lone block is sent from there with its
    // header written ahead of it, one datagram without a gather.
    uint8_t* Span(int64_t from, int64_t to)
    {
        if (from < start_ || from > end_) {
            start_ = end_ = from; // a jump (never happens going forward): read anew
        } else if (to > end_ && from > start_) {
            // Keep what is still needed at the front, then fill behind it.
            std::memmove(Front(), Front() + (from - start_), static_cast<size_t>(end_ - from));
            start_ = from;
        }
        if (to > end_) {
            const size_t need = static_cast<size_t>(to - start_);
            // Read ahead so that a window costs a read only now and then; small enough to
            // stay in the cache until the blocks go out. Left uninitialised: read() fills it.
            if (capacity_ < need + ReadAhead) {
                const size_t capacity = need + ReadAhead;
                std::unique_ptr<uint8_t[]> larger(new uint8_t[HeaderSize + capacity]);
                if (end_ > start_)
                    std::memcpy(larger.get() + HeaderSize, Front(), static_cast<size_t>(end_ - start_));
                buffer_ = std::move(larger);
                capacity_ = capacity;
            }
            const int64_t want = std::min<int64_t>(size_, start_ + static_cast<int64_t>(capacity_));
            while (end_ < want) {
                const ssize_t got =
                    ::pread(fd_, Front() + (end_ - start_), static_cast<size_t>(want - end_), end_);
                if (got < 0) {
                    if (errno == EINTR) continue;
                    SystemError("read");
                }
                if (got == 0) throw Exception("The file became shorter while it was being sent");
                end_ += got;
            }
        }
        return Front() + (from - start_);
    }

private:
    uint8_t* Front() const { return buffer_.get() + HeaderSize; }

    static constexpr size_t ReadAhead = 256 << 10;
    int fd_;
    int64_t size_;
    int64_t start_ = 0;
    int64_t end_ = 0;
    size_t capacity_;
    std::unique_ptr<uint8_t[]> buffer_;
};

} // namespace

void SendFile(int fd, int64_t size, const std::string& remoteName, const SenderOptions& options,
              SenderReport& report, const SenderProgress& progress)
{
    const sockaddr_in server = Resolve(options.host, options.port);
    posix::Fd socketFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socketFd) SystemError("socket");
    const int sock = socketFd.Get();
    const auto tryTime = std::chrono::milliseconds(options.timeoutMs);
    int32_t armedMs = options.timeoutMs;
    SetReceiveTimeout(sock, armedMs);
    // Changes the kernel's receive time-out only when it differs: most waits are whole tries.
    const auto arm = [&](Clock::duration wait) {
        const auto ms = std::max<int64_t>(1, std::chrono::ceil<std::chrono::milliseconds>(wait).count());
        if (ms != armedMs) {
            armedMs = static_cast<int32_t>(ms);
            SetReceiveTimeout(sock, armedMs);
        }
    };

    UploadPolicy policy = options.policy;
    policy.policy = Policy::Reliable;
    // A window's blocks are held until acknowledged: at most 32 MiB of them (a window of 512
    // blocks of 64 KiB, of 32768 of 1 KiB), whatever was asked.
    constexpr int64_t WindowBytes = 32 << 20;
    policy.windowSize = static_cast<int32_t>(std::clamp<int64_t>(
        WindowBytes / std::max(policy.blockSize, DefaultBlockSize), 1, std::max(1, policy.windowSize)));
    UploadState state(size, policy);
    Source source(fd, size);
    report = SenderReport{};

    // A repeated ACK this long after the last send is the receiver's own (a gap, or its
    // time-out), not the echo of a block that went twice: four round trips, at least 2 ms, at
    // most a quarter of a try. The round trip is smoothed over windows that moved on after
    // going out once (Karn's rule).
    Clock::duration roundTrip{};
    Clock::duration fastestRoundTrip{};
    const auto fewRoundTrips = [&] {
        const Clock::duration bound = std::chrono::duration_cast<Clock::duration>(tryTime) / 4;
        const Clock::duration floor = std::chrono::milliseconds(2);
        if (roundTrip == Clock::duration{}) return std::min(bound, 5 * floor);
        return std::clamp(4 * roundTrip, std::min(floor, bound), bound);
    };
    // The probes of an unacknowledged last block: the first after two of the fastest round
    // trips (at least 1 ms), each later one after twice the wait before. A receiver lingers
    // for a lost final ACK about its own retransmission time (10 ms for some), so the first
    // probes must be quick; a probe that comes too early costs one datagram.
    const auto firstProbeWait = [&] {
        const Clock::duration bound = std::chrono::duration_cast<Clock::duration>(tryTime) / 8;
        const Clock::duration floor = std::chrono::milliseconds(1);
        if (fastestRoundTrip == Clock::duration{}) return std::min(bound, 2 * floor);
        return std::clamp(2 * fastestRoundTrip, std::min(floor, bound), bound);
    };
    constexpr int Probes = 5;
    int probesLeft = Probes;
    Clock::duration probeWait{};
    std::optional<Clock::time_point> probeAt;
    bool resent = false;

    const std::string request = state.Request(remoteName, options.mode);
    SendTo(sock, server, request.data(), request.size());
    auto lastSend = Clock::now();
    auto deadline = lastSend + tryTime;
    // The time a step ended, when it ended with a send: the next wait starts from it.
    std::optional<Clock::time_point> sentAt = lastSend;

    // One message per block of a window: its header and a view of the file's bytes.
    std::vector<mmsghdr> messages;
    bool segmentation = options.segmentation;
    std::vector<iovec> pieces;
    std::vector<uint8_t> headers;
    sockaddr_in peer{};
    std::optional<Peer> peerKey;
    // Any datagram fits: a longer one than a block's could only be a server's long ERROR.
    std::vector<uint8_t> inbox(65536);
    int64_t acknowledged = 0;

    for (;;) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        // A wait ends at the try's deadline or the next probe, whatever came meanwhile:
        // datagrams that change nothing must not keep a try alive for ever.
        const auto now = sentAt ? *sentAt : Clock::now();
        sentAt.reset();
        bool expired = (probeAt && now >= *probeAt) || now >= deadline;
        ssize_t received = -1;
        if (!expired && probeAt) {
            // The probes' short waits with poll: the kernel's receive time-out may run
            // 10 ms late, longer than a receiver lingers.
            pollfd ready{sock, POLLIN, 0};
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(*probeAt, deadline) - now);
            const int polled = ::poll(&ready, 1, static_cast<int>(wait.count()));
            if (polled < 0 && errno != EINTR) SystemError("poll");
            if (polled <= 0) {
                expired = polled == 0;
                if (!expired) continue;
            } else {
                received = ::recvfrom(sock, inbox.data(), inbox.size(), MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            }
        } else if (!expired) {
            received =
                ::recvfrom(sock, inbox.data(), inbox.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        }
        UploadStep step;
        const int64_t ackedBefore = state.BlocksAcknowledged();
        const bool wasRequested = state.State() == UploadState::Phase::Requested;
        if (received < 0) {
            if (!expired && errno == EINTR) continue;
            if (!expired && errno != EAGAIN && errno != EWOULDBLOCK) SystemError("recvfrom");
            const bool probe = probeAt && Clock::now() >= *probeAt;
            step = state.OnTimeout(probe);
            if (probe) {
                --probesLeft;
                probeWait = std::min<Clock::duration>(2 * probeWait, tryTime / 4);
            }
        } else {
            const Peer sender{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
            const auto since = Clock::now() - lastSend;
            step = state.OnDatagram(Bytes{inbox.data(), static_cast<size_t>(received)}, sender,
                                    since >= fewRoundTrips());
            // An answer that moved on, to blocks (or a request) that went out once: a round trip.
            if (!resent && (state.BlocksAcknowledged() > ackedBefore ||
                            (wasRequested && state.State() != UploadState::Phase::Requested))) {
                roundTrip = roundTrip == Clock::duration{} ? since : (7 * roundTrip + since) / 8;
                if (fastestRoundTrip == Clock::duration{} || since < fastestRoundTrip) fastestRoundTrip = since;
            }
        }
        report.blockSize = state.BlockSize();
        report.windowSize = state.WindowSize();
        report.retransmissions = state.Retransmissions();
        report.lastBlockSent = state.LastBuilt();
        if (const int64_t done = std::min(state.BlocksAcknowledged() * state.BlockSize(), size);
            done > acknowledged && step.kind != UploadStep::Done) {
            acknowledged = done;
            report.acknowledgedBytes = done;
            if (progress) progress(done);
        }

        switch (step.kind) {
        case UploadStep::Done:
            report.acknowledged = true;
            report.acknowledgedBytes = size;
            if (progress && acknowledged < size) progress(size);
            return;
        case UploadStep::Fail: RaiseUploadFailure(step.failure);
        case UploadStep::Request: {
            const std::string again = state.Request(remoteName, options.mode);
            SendTo(sock, server, again.data(), again.size());
            break;
        }
        case UploadStep::Reject: {
            static const std::string unknown = MakeError(5, "Unknown transfer ID");
            SendTo(sock, from, unknown.data(), unknown.size());
            break;
        }
        case UploadStep::SendBlocks: {
            // The transfer's peer, kept as an address: made anew only when it changes.
            if (state.LockedPeer() && peerKey != state.LockedPeer()) {
                peerKey = state.LockedPeer();
                peer = AddressOf(*peerKey);
            }
            const int64_t last = step.first + step.count - 1;
            const int64_t from0 = state.BlockOffset(step.first);
            const int64_t front = state.BlockOffset(state.BlocksAcknowledged() + 1);
            uint8_t* bytes = source.Span(front, std::min(size, state.BlockOffset(last) + state.BlockBytes(last))) +
                             (from0 - front);
            const size_t count = static_cast<size_t>(step.count);
            if (count == 1 && from0 == front) {
                // Lock-step's every block: its header goes in the scratch bytes ahead of it.
                PutDataHeader(bytes - HeaderSize, state.BlockNumber(step.first));
                const size_t length = HeaderSize + static_cast<size_t>(state.BlockBytes(step.first));
                while (::sendto(sock, bytes - HeaderSize, length, 0, reinterpret_cast<const sockaddr*>(&peer),
                                sizeof peer) < 0)
                    if (errno != EINTR) SystemError("sendto");
                break;
            }
            if (messages.size() < count) {
                messages.resize(count);
                pieces.resize(2 * count);
                headers.resize(4 * count);
            }
            for (size_t i = 0; i < count; ++i) {
                const int64_t index = step.first + static_cast<int64_t>(i);
                PutDataHeader(&headers[4 * i], state.BlockNumber(index));
                pieces[2 * i] = {&headers[4 * i], HeaderSize};
                pieces[2 * i + 1] = {const_cast<uint8_t*>(bytes + (state.BlockOffset(index) - from0)),
                                     static_cast<size_t>(state.BlockBytes(index))};
                msghdr& m = messages[i].msg_hdr;
                m = msghdr{};
                m.msg_name = &peer;
                m.msg_namelen = sizeof peer;
                m.msg_iov = &pieces[2 * i];
                m.msg_iovlen = 2;
            }
            size_t at = 0;
            // Runs of the window as one send each, cut by the kernel into datagrams of one
            // block: every block but the file's last is whole, and that one ends a window.
            const size_t segment = HeaderSize + static_cast<size_t>(state.BlockSize());
            const size_t perSend = std::min<size_t>(MaxSegments, MaxUdpPayload / segment);
            while (segmentation && perSend >= 2 && count - at >= 2) {
                const size_t n = std::min(perSend, count - at);
                msghdr m{};
                m.msg_name = &peer;
                m.msg_namelen = sizeof peer;
                m.msg_iov = &pieces[2 * at];
                m.msg_iovlen = 2 * n;
                alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))]{};
                m.msg_control = control;
                m.msg_controllen = sizeof control;
                cmsghdr* size16 = CMSG_FIRSTHDR(&m);
                size16->cmsg_level = SOL_UDP;
                size16->cmsg_type = UDP_SEGMENT;
                size16->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                const auto value = static_cast<uint16_t>(segment);
                std::memcpy(CMSG_DATA(size16), &value, sizeof value);
                if (::sendmsg(sock, &m, 0) >= 0) {
                    at += n;
                } else if (errno != EINTR) {
                    // Refused (an old kernel, a path whose MTU is below a block): nothing
                    // went out; a message per block from now on.
                    if (errno != EINVAL && errno != EIO && errno != ENOPROTOOPT && errno != EOPNOTSUPP &&
                        errno != EMSGSIZE)
                        SystemError("sendmsg");
                    segmentation = false;
                }
            }
            while (at < count) {
                const int sent =
                    ::sendmmsg(sock, &messages[at], static_cast<unsigned>(std::min<size_t>(count - at, 1024)), 0);
                if (sent < 0) {
                    if (errno == EINTR) continue;
                    SystemError("sendmmsg");
                }
                at += static_cast<size_t>(sent);
            }
            break;
        }
        default: break; // Wait (and the classic policy's steps, which this policy never gives)
        }

        if (step.kind == UploadStep::SendBlocks || step.kind == UploadStep::Request) {
            // A new try: its full time, and the next probe while the last block is unanswered.
            // Went out before: a request again, or blocks without progress (a time-out, a
            // repeated ACK, a probe). Its answer is no round-trip sample.
            resent =
                step.kind == UploadStep::Request || (!wasRequested && state.BlocksAcknowledged() == ackedBefore);
            lastSend = Clock::now();
            sentAt = lastSend;
            deadline = lastSend + tryTime;
            probeAt.reset();
            if (state.State() == UploadState::Phase::LastSent && probesLeft > 0) {
                if (probesLeft == Probes) probeWait = firstProbeWait();
                probeAt = lastSend + probeWait;
            }
            arm(tryTime);
        } else if (received >= 0 && !probeAt) {
            // Wait only for what is left.
            const auto left = (probeAt ? std::min(*probeAt, deadline) : deadline) - Clock::now();
            if (left > Clock::duration{}) arm(left);
        }
    }
}

} // namespace tftp
