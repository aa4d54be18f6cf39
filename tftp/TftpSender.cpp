#include "tftp/TftpSender.h"

#include "tftp/TokenBucket.h"

#include "rtl/Exception.h"
#include "posix/Fd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
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

void SendTo(int fd, const sockaddr_in& to, const void* bytes, size_t size)
{
    while (::sendto(fd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        if (errno != EINTR) SystemError("sendto");
}

// The trace's view of the upload's datagrams: nothing happens without an observer.
struct Tap {
    const posix::DatagramObserver* observer = nullptr;
    posix::Endpoint local;

    void Saw(bool sent, const sockaddr_in& peer, const void* head, size_t headSize, const void* body = nullptr,
             size_t bodySize = 0, int64_t timeUs = 0) const
    {
        if (observer == nullptr || !*observer) return;
        (*observer)({sent,
                     local,
                     {ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)},
                     {static_cast<const uint8_t*>(head), headSize},
                     {static_cast<const uint8_t*>(body), bodySize},
                     timeUs});
    }
    // The blocks of one send: one time for all of them.
    void Saw(const sockaddr_in& peer, const iovec* pieces, size_t count) const
    {
        if (observer == nullptr || !*observer) return;
        const int64_t now = posix::WallMicros();
        for (size_t i = 0; i < count; ++i)
            Saw(true, peer, pieces[2 * i].iov_base, pieces[2 * i].iov_len, pieces[2 * i + 1].iov_base,
                pieces[2 * i + 1].iov_len, now);
    }
};

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

// The blocks of one send: from the read buffer to the wire in as few system calls as the
// kernel allows. A lone block at the front of the buffer goes in one sendto with its header
// written into the scratch bytes ahead of it; a run of blocks in segmented sends that the
// kernel cuts into datagrams of one block; where the kernel refuses those, a message per
// block in sendmmsg from then on.
class WindowSender {
public:
    WindowSender(int fd, bool segmentation) : fd_(fd), segmentation_(segmentation) {}

    void To(const sockaddr_in& peer) { peer_ = peer; }
    void Trace(const Tap& tap) { tap_ = tap; }

    // bytes: the first block's bytes in the read buffer; front: it is the buffer's first.
    void Send(const ReliableUpload& state, int64_t first, int32_t count, uint8_t* bytes, bool front)
    {
        if (count == 1 && front) return Lone(state, first, bytes);
        Describe(state, first, static_cast<size_t>(count), bytes);
        size_t at = 0;
        if (segmentation_) at = Segmented(state, static_cast<size_t>(count));
        Messages(at, static_cast<size_t>(count));
    }

private:
    void Lone(const ReliableUpload& state, int64_t index, uint8_t* bytes)
    {
        PutDataHeader(bytes - HeaderSize, state.BlockNumber(index));
        SendTo(fd_, peer_, bytes - HeaderSize, HeaderSize + static_cast<size_t>(state.BlockBytes(index)));
        tap_.Saw(true, peer_, bytes - HeaderSize, HeaderSize, bytes, static_cast<size_t>(state.BlockBytes(index)));
    }

    // One message per block: its header and a view of the file's bytes.
    void Describe(const ReliableUpload& state, int64_t first, size_t count, uint8_t* bytes)
    {
        if (messages_.size() < count) {
            messages_.resize(count);
            pieces_.resize(2 * count);
            headers_.resize(4 * count);
        }
        const int64_t from = state.BlockOffset(first);
        for (size_t i = 0; i < count; ++i) {
            const int64_t index = first + static_cast<int64_t>(i);
            PutDataHeader(&headers_[4 * i], state.BlockNumber(index));
            pieces_[2 * i] = {&headers_[4 * i], HeaderSize};
            pieces_[2 * i + 1] = {bytes + (state.BlockOffset(index) - from),
                                  static_cast<size_t>(state.BlockBytes(index))};
            msghdr& m = messages_[i].msg_hdr;
            m = msghdr{};
            m.msg_name = &peer_;
            m.msg_namelen = sizeof peer_;
            m.msg_iov = &pieces_[2 * i];
            m.msg_iovlen = 2;
        }
    }

    // Runs of the blocks as one send each: every block but the file's last is whole, and
    // that one ends a window. Returns how many blocks went out.
    size_t Segmented(const ReliableUpload& state, size_t count)
    {
        const size_t segment = HeaderSize + static_cast<size_t>(state.BlockSize());
        const size_t perSend = std::min<size_t>(MaxSegments, MaxUdpPayload / segment);
        size_t at = 0;
        while (segmentation_ && perSend >= 2 && count - at >= 2) {
            const size_t n = std::min(perSend, count - at);
            msghdr m{};
            m.msg_name = &peer_;
            m.msg_namelen = sizeof peer_;
            m.msg_iov = &pieces_[2 * at];
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
            if (::sendmsg(fd_, &m, 0) >= 0) {
                tap_.Saw(peer_, &pieces_[2 * at], n);
                at += n;
            } else if (errno != EINTR) {
                // Refused (an old kernel, a path whose MTU is below a block): nothing went
                // out; a message per block from now on.
                if (errno != EINVAL && errno != EIO && errno != ENOPROTOOPT && errno != EOPNOTSUPP &&
                    errno != EMSGSIZE)
                    SystemError("sendmsg");
                segmentation_ = false;
            }
        }
        return at;
    }

    void Messages(size_t at, size_t count)
    {
        while (at < count) {
            const int sent =
                ::sendmmsg(fd_, &messages_[at], static_cast<unsigned>(std::min<size_t>(count - at, 1024)), 0);
            if (sent < 0) {
                if (errno == EINTR) continue;
                SystemError("sendmmsg");
            }
            tap_.Saw(peer_, &pieces_[2 * at], static_cast<size_t>(sent));
            at += static_cast<size_t>(sent);
        }
    }

    int fd_;
    bool segmentation_;
    sockaddr_in peer_{};
    std::vector<mmsghdr> messages_;
    std::vector<iovec> pieces_;
    std::vector<uint8_t> headers_;
    Tap tap_;
};

// Time as the upload state machine takes it: microseconds on the monotonic clock.
Micros Now()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

sockaddr_in LocalAddress(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) SystemError("getsockname");
    return address;
}

// Wakes the upload's blocking receive at its deadline: a thread sleeps until then and sends
// an empty datagram from a socket of its own. The kernel's receive time-out runs in ticks
// and ends up to a tick late, more on long waits (up to 4 ms on a wait of 4 ms at 250 Hz,
// 24 ms on one of a second): too coarse for the retransmission timer. A poll before each
// receive is exact but costs a call per answer. Every answer moves the deadline later, which
// the thread learns only when its sleep ends: the usual wait is one receive, and the thread
// wakes about once per time-out's length.
class Alarm {
public:
    explicit Alarm(uint16_t port) : bell_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        if (!bell_) SystemError("socket");
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        if (::connect(bell_.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) SystemError("connect");
        self_ = LocalAddress(bell_.Get());
        thread_ = std::thread([this] { Run(); });
    }

    ~Alarm()
    {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_one();
        thread_.join();
    }

    // The receive's deadline from now on. The thread is woken only where it would sleep
    // past it.
    void Set(Micros deadline)
    {
        bool wake = false;
        {
            const std::lock_guard lock(mutex_);
            deadline_ = deadline;
            wake = deadline < sleepsUntil_;
        }
        // Outside the lock: the woken thread would only block on it again.
        if (wake) changed_.notify_one();
    }

    bool Rang(const sockaddr_in& from) const
    {
        return from.sin_port == self_.sin_port && from.sin_addr.s_addr == self_.sin_addr.s_addr;
    }

private:
    static constexpr Micros Never = std::numeric_limits<Micros>::max();

    void Run()
    {
        // Signals stay the upload's thread's to take, as they were before this one existed.
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (Now() >= deadline_) {
                deadline_ = sleepsUntil_ = Never; // rung: quiet until the next deadline is set
                lock.unlock();
                while (::send(bell_.Get(), nullptr, 0, 0) < 0 && errno == EINTR) {}
                lock.lock();
                continue;
            }
            sleepsUntil_ = deadline_;
            if (deadline_ == Never)
                changed_.wait(lock);
            else
                changed_.wait_until(lock, Clock::time_point(std::chrono::microseconds(deadline_)));
        }
    }

    posix::Fd bell_;
    sockaddr_in self_{};
    std::mutex mutex_;
    std::condition_variable changed_;
    Micros deadline_ = Never;
    Micros sleepsUntil_ = Never;
    bool stop_ = false;
    std::thread thread_;
};

// The receive on a socket whose alarm would not start: a poll to the deadline first.
bool Readable(int fd, Micros wait)
{
    const timespec limit{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
    pollfd ready{fd, POLLIN, 0};
    if (::ppoll(&ready, 1, &limit, nullptr) < 0 && errno != EINTR) SystemError("ppoll");
    return ready.revents != 0;
}

// One upload: waits for a datagram or the state machine's deadline, hands it what came,
// and carries out the step it answers, one small handler per step.
class Upload {
public:
    Upload(int fd, int64_t size, const std::string& remoteName, const SenderOptions& options,
           TransferStats& report, const SenderProgress& progress)
        : server_(Resolve(options.host, options.port)), socket_(Bound()), size_(size), remoteName_(remoteName),
          mode_(options.mode), state_(size, PolicyOf(options)), source_(fd, size),
          sender_(socket_.Get(), options.segmentation), report_(report), progress_(progress),
          maxRate_(options.maxRateBitsPerSecond)
    {
        StartAlarm();
        if (options.observer) {
            tap_ = {&options.observer, {0, ntohs(LocalAddress(socket_.Get()).sin_port)}};
            sender_.Trace(tap_);
        }
    }

    void Run()
    {
        for (UploadStep step = state_.Begin(Now());; step = Next()) {
            Publish();
            if (Carry(step)) return;
        }
    }

private:
    static UploadPolicy PolicyOf(const SenderOptions& options)
    {
        UploadPolicy policy = options.policy;
        policy.timeoutMs = options.timeoutMs;
        // A window's blocks are held until acknowledged: at most 32 MiB of them (a window of
        // 512 blocks of 64 KiB, of 32768 of 1 KiB), whatever was asked.
        constexpr int64_t WindowBytes = 32 << 20;
        policy.windowSize = static_cast<int32_t>(std::clamp<int64_t>(
            WindowBytes / std::max(policy.blockSize, DefaultBlockSize), 1, std::max(1, policy.windowSize)));
        return policy;
    }

    static posix::Fd Bound()
    {
        posix::Fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!socket) SystemError("socket");
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) < 0) SystemError("bind");
        return socket;
    }

    void StartAlarm()
    {
        try {
            alarm_.emplace(ntohs(LocalAddress(socket_.Get()).sin_port));
        } catch (const std::exception&) {
            return; // no loopback or no thread: each wait polls first
        }
        // Should the wake-up never come (loopback filtered), the deadline is late by this much.
        const timeval backstop{1, 0};
        ::setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVTIMEO, &backstop, sizeof backstop);
    }

    // The next event: a datagram, or the deadline. Datagrams that change nothing do not
    // move the deadline, so that they cannot keep a try alive for ever.
    UploadStep Next()
    {
        for (;;) {
            const Micros now = Now();
            if (now >= state_.Deadline()) return state_.OnTimeout(now);
            if (const std::optional<size_t> got = Receive(state_.Deadline())) {
                const Peer sender{ntohl(from_.sin_addr.s_addr), ntohs(from_.sin_port)};
                return state_.OnDatagram(Bytes{inbox_.data(), *got}, sender, Now());
            }
        }
    }

    // One datagram's length, or nothing when the wait ended without one (its deadline, a
    // signal, the alarm).
    std::optional<size_t> Receive(Micros deadline)
    {
        if (alarm_)
            alarm_->Set(deadline);
        else if (!Readable(socket_.Get(), deadline - Now()))
            return std::nullopt;
        socklen_t length = sizeof from_;
        const ssize_t got = ::recvfrom(socket_.Get(), inbox_.data(), inbox_.size(), alarm_ ? 0 : MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from_), &length);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
            SystemError("recvfrom");
        }
        if (alarm_ && alarm_->Rang(from_)) return std::nullopt;
        tap_.Saw(false, from_, inbox_.data(), std::min(static_cast<size_t>(got), inbox_.size()));
        return static_cast<size_t>(got);
    }

    // What the upload achieved so far, and progress when more is acknowledged.
    void Publish()
    {
        report_.blockSize = state_.BlockSize();
        report_.windowSize = state_.WindowSize();
        report_.retransmissions = state_.Retransmissions();
        report_.lastBlockSent = state_.LastBuilt();
        report_.timeouts = state_.Timeouts();
        report_.smoothedRoundTripUs = state_.Timer().Smoothed();
        report_.finalWindow = state_.Control().Burst();
        const int64_t done = std::min(state_.BlocksAcknowledged() * state_.BlockSize(), size_);
        if (done > report_.acknowledgedBytes && state_.State() != ReliableUpload::Phase::Finished) {
            report_.acknowledgedBytes = done;
            if (progress_) progress_(done);
        }
    }

    // Carries out one step; true when the upload is over.
    bool Carry(const UploadStep& step)
    {
        switch (step.kind) {
        case UploadStep::Done: Finish(); return true;
        case UploadStep::Fail: Give(step); return true;
        case UploadStep::Request: SendRequest(); break;
        case UploadStep::Reject: Reject(); break;
        case UploadStep::SendBlocks: SendBlocks(step); break;
        default: break; // Wait (and the classic policy's steps, which this policy never gives)
        }
        return false;
    }

    void Finish()
    {
        report_.acknowledged = true;
        if (progress_ && report_.acknowledgedBytes < size_) progress_(size_);
        report_.acknowledgedBytes = size_;
    }

    [[noreturn]] void Give(const UploadStep& step)
    {
        // The server waits for blocks that will never come unless told.
        if (!step.farewell.empty() && state_.LockedPeer())
            Send(AddressOf(*state_.LockedPeer()), step.farewell.data(), step.farewell.size());
        RaiseUploadFailure(step.failure);
    }

    void SendRequest()
    {
        const std::string request = state_.Request(remoteName_, mode_);
        Send(server_, request.data(), request.size());
    }

    void Reject()
    {
        static const std::string unknown = MakeError(5, "Unknown transfer ID");
        Send(from_, unknown.data(), unknown.size());
    }

    void Send(const sockaddr_in& to, const void* bytes, size_t size)
    {
        SendTo(socket_.Get(), to, bytes, size);
        tap_.Saw(true, to, bytes, size);
    }

    void SendBlocks(const UploadStep& step)
    {
        // The transfer's peer, kept as an address: made anew only when it changes.
        if (state_.LockedPeer() && peerKey_ != state_.LockedPeer()) {
            peerKey_ = state_.LockedPeer();
            sender_.To(AddressOf(*peerKey_));
        }
        const int64_t last = step.first + step.count - 1;
        const int64_t from = state_.BlockOffset(step.first);
        const int64_t front = state_.BlockOffset(state_.BlocksAcknowledged() + 1);
        const int64_t end = std::min(size_, state_.BlockOffset(last) + state_.BlockBytes(last));
        uint8_t* bytes = source_.Span(front, end) + (from - front);
        if (maxRate_) HoldBack(8 * (end - from + int64_t{step.count} * (HeaderSize + IpUdpHeaders)));
        sender_.Send(state_, step.first, step.count, bytes, from == front);
    }

    // Waits until the rate cap lets bits go.
    void HoldBack(int64_t bits)
    {
        const Micros at = bucket_.Take(bits, maxRate_(), Now());
        if (at <= Now()) return;
        std::this_thread::sleep_for(std::chrono::microseconds(at - Now()));
        state_.SentLater(Now());
    }

    const sockaddr_in server_;
    posix::Fd socket_;
    const int64_t size_;
    const std::string& remoteName_;
    const std::string mode_;
    ReliableUpload state_;
    Source source_;
    WindowSender sender_;
    TransferStats& report_;
    const SenderProgress& progress_;
    std::optional<Peer> peerKey_;
    sockaddr_in from_{};
    // Any datagram fits: a longer one than a block's could only be a server's long ERROR.
    std::vector<uint8_t> inbox_ = std::vector<uint8_t>(65536);
    Tap tap_;
    std::optional<Alarm> alarm_; // stops before the socket it wakes closes
    static constexpr int64_t IpUdpHeaders = 28;
    const std::function<uint64_t()> maxRate_;
    // A sender late for its turn by a scheduler's slice catches up; a longer pause earns no burst.
    TokenBucket bucket_{20000};
};

} // namespace

void SendFile(int fd, int64_t size, const std::string& remoteName, const SenderOptions& options,
              TransferStats& report, const SenderProgress& progress)
{
    report = {};
    report.blockSize = DefaultBlockSize;
    report.windowSize = report.finalWindow = 1;
    Upload(fd, size, remoteName, options, report, progress).Run();
}

} // namespace tftp
