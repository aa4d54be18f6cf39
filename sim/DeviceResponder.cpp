#include "sim/DeviceResponder.h"

#include "devmsg/wire/DeviceFrames.h"
#include "posix/Fd.h"
#include "devmsg/wire/NdxlWire.h"
#include "posix/Udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

using namespace devmsg::frames;
using Clock = std::chrono::steady_clock;
using posix::AddrText;
using posix::Fd;

constexpr uint8_t OpDiscoveryAnswer = 1;
constexpr uint8_t OpPasswordAnswer = 17;
constexpr uint16_t EchoMismatchResult = 2;
constexpr size_t NameRoom = RepEcho - RepName - 1; // a terminated name ends before the echo word

void PutWord(std::vector<uint8_t>& record, size_t offset, uint16_t value)
{
    record[offset] = static_cast<uint8_t>(value & 0xff);
    record[offset + 1] = static_cast<uint8_t>(value >> 8);
}

std::vector<uint8_t> BaseRecord(const DeviceConfig& config, uint8_t protocol, uint8_t operation)
{
    std::vector<uint8_t> record(ReplySize, 0);
    const std::string ip = config.ipText.value_or(config.bindAddress);
    // A text of 16 bytes or more fills the field with no zero byte: a malformed answer on purpose.
    std::copy_n(ip.begin(), std::min(ip.size(), RepIpSize), record.begin() + RepIp);
    std::copy(config.mac.begin(), config.mac.end(), record.begin() + RepMac);
    record[RepProtocol] = protocol;
    record[RepOperation] = operation;
    return record;
}

std::string Hex(std::span<const uint8_t> bytes)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(part, sizeof part, i == 0 ? "%02x" : ":%02x", bytes[i]);
        text += part;
    }
    return text;
}

} // namespace

std::vector<uint8_t> BuildDiscoveryAnswer(const DeviceConfig& config, uint8_t protocol)
{
    auto record = BaseRecord(config, protocol, OpDiscoveryAnswer);
    if (protocol == ApdpDiscoveryV4) {
        for (size_t i = 0; i < EchoSize; ++i)
            record[RepEcho + i] = static_cast<uint8_t>(config.echoWord >> (8 * i));
    }
    if (config.nameUnterminated) {
        const std::string fill = config.name.empty() ? std::string("X") : config.name;
        for (size_t i = RepName; i < ReplySize; ++i)
            record[i] = static_cast<uint8_t>(fill[(i - RepName) % fill.size()]);
    } else {
        std::copy_n(config.name.begin(), std::min(config.name.size(), NameRoom), record.begin() + RepName);
    }
    return record;
}

std::vector<uint8_t> BuildPasswordAnswer(const DeviceConfig& config, uint8_t protocol, uint16_t result,
                                         uint16_t status)
{
    auto record = BaseRecord(config, protocol, OpPasswordAnswer);
    PutWord(record, RepResult, result);
    PutWord(record, RepStatus, status);
    return record;
}

std::vector<PlannedReply> PlanReplies(const DeviceConfig& config, std::span<const uint8_t> frame,
                                      std::string* note)
{
    auto say = [note](const std::string& text) {
        if (note != nullptr) *note = text;
    };
    std::vector<PlannedReply> replies;
    if (frame.size() != RequestSize) {
        say("request of " + std::to_string(frame.size()) + " bytes ignored");
        return replies;
    }
    const uint8_t protocol = frame[ReqProtocol];
    if (protocol == ApdpDiscovery) {
        if (!config.answerDiscovery) {
            say("discovery: staying silent");
            return replies;
        }
        std::vector<uint8_t> protocols;
        if (config.answer17) protocols.push_back(ApdpDiscovery);
        if (config.answer20) protocols.push_back(ApdpDiscoveryV4);
        protocols.insert(protocols.end(), config.extraProtocols.begin(), config.extraProtocols.end());
        for (const uint8_t p : protocols)
            replies.push_back({config.discoveryDelayMs, BuildDiscoveryAnswer(config, p)});
        say("discovery: answering with " + std::to_string(replies.size()) + " record(s)");
    } else if (protocol == WdcpPassword || protocol == WdcpPasswordV4) {
        if (!std::equal(config.mac.begin(), config.mac.end(), frame.begin() + ReqMac)) {
            say("password request for " + Hex(frame.subspan(ReqMac, MacSize)) + ": not this device");
            return replies;
        }
        if (!config.answerPassword) {
            say("password request: staying silent");
            return replies;
        }
        uint8_t expected[PasswordSize] = {};
        std::copy_n(config.password.begin(), std::min(config.password.size(), PasswordSize), expected);
        const bool passwordOk = std::equal(std::begin(expected), std::end(expected), frame.begin() + ReqPassword);
        bool echoOk = true;
        if (protocol == WdcpPasswordV4) {
            for (size_t i = 0; i < EchoSize; ++i)
                echoOk = echoOk && frame[ReqEcho + i] == static_cast<uint8_t>(config.echoWord >> (8 * i));
        }
        uint16_t result = 0, status = 0;
        if (!echoOk) {
            result = EchoMismatchResult;
            say("password request " + std::to_string(protocol) + ": echo word mismatch, refused");
        } else if (!passwordOk) {
            result = config.refuseResult;
            status = config.refuseStatus;
            say("password request " + std::to_string(protocol) + ": wrong password, refused");
        } else {
            say("password request " + std::to_string(protocol) + ": accepted");
        }
        replies.push_back({config.passwordDelayMs, BuildPasswordAnswer(config, protocol, result, status)});
    } else {
        say("request with protocol " + std::to_string(protocol) + " ignored");
    }
    if (config.replyLength) {
        for (auto& reply : replies)
            reply.record.resize(*config.replyLength, 0);
    }
    return replies;
}

std::optional<std::array<uint8_t, 6>> ParseMac(const std::string& text)
{
    std::array<uint8_t, 6> mac{};
    unsigned parts[6];
    char separators[5];
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%2x%c%2x%c%2x%c%2x%c%2x%c%2x%n", &parts[0], &separators[0], &parts[1],
                    &separators[1], &parts[2], &separators[2], &parts[3], &separators[3], &parts[4],
                    &separators[4], &parts[5], &consumed) != 11 ||
        static_cast<size_t>(consumed) != text.size())
        return std::nullopt;
    for (const char separator : separators) {
        if (separator != ':' && separator != '-') return std::nullopt;
    }
    for (size_t i = 0; i < mac.size(); ++i)
        mac[i] = static_cast<uint8_t>(parts[i]);
    return mac;
}

struct DeviceResponder::Impl {
    explicit Impl(const DeviceConfig& config)
        : listen(posix::BindUdp(config.listenAddress, config.port, {.reuseAddress = true})),
          unicast(posix::BindUdp(config.bindAddress, config.port, {.reuseAddress = true})),
          wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (!wake) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }

    Fd listen;  // broadcast requests
    Fd unicast; // requests sent to the device itself; every answer leaves from here
    Fd wake;

    struct Pending {
        Clock::time_point due;
        std::vector<uint8_t> datagram;
        sockaddr_in to;
    };
    std::vector<Pending> pending;
};

namespace {

DeviceConfig AfterRestart(DeviceConfig config)
{
    if (config.restartMac) config.mac = *config.restartMac;
    return config;
}

} // namespace

DeviceResponder::DeviceResponder(DeviceConfig config, LogSink log)
    : config_(std::move(config)), restarted_(AfterRestart(config_)), log_(std::move(log))
{}

DeviceResponder::~DeviceResponder()
{
    Stop();
}

void DeviceResponder::Log(const std::string& line) const
{
    const std::string text = "simdev " + config_.bindAddress + ": " + line;
    if (log_) {
        log_(text);
        return;
    }
    const std::string withFeed = text + "\n";
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, withFeed.data(), withFeed.size());
}

void DeviceResponder::Start()
{
    if (thread_.joinable()) return;
    impl_ = std::make_unique<Impl>(config_);
    Log("listening on " + config_.listenAddress + ":" + std::to_string(config_.port) + " and " +
        config_.bindAddress + ":" + std::to_string(config_.port) + ", reporting IP " +
        config_.ipText.value_or(config_.bindAddress) + ", MAC " + Hex(config_.mac));
    thread_ = std::thread([this] { Run(); });
}

void DeviceResponder::Stop()
{
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(impl_->wake.Get(), &one, sizeof one);
    thread_.join();
    impl_.reset();
}

void DeviceResponder::Restart(std::chrono::milliseconds silence, std::chrono::milliseconds delay)
{
    const auto from = Clock::now() + delay;
    const auto ns = [](Clock::time_point at) { return at.time_since_epoch().count(); };
    // The end first: a reader that sees the new start never pairs it with an old end.
    silentUntilNs_.store(ns(from + silence));
    silentFromNs_.store(ns(from));
    Log("restarting in " + std::to_string(delay.count()) + " ms: silent for " + std::to_string(silence.count()) +
        " ms");
}

std::vector<ReceivedRequest> DeviceResponder::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<ReceivedRequest> DeviceResponder::PasswordRequests() const
{
    std::vector<ReceivedRequest> result;
    for (auto& request : Received()) {
        const uint8_t protocol = request.frame[ReqProtocol];
        if ((protocol == WdcpPassword || protocol == WdcpPasswordV4) &&
            std::equal(config_.mac.begin(), config_.mac.end(), request.frame.begin() + ReqMac))
            result.push_back(std::move(request));
    }
    return result;
}

void DeviceResponder::Run()
{
    Impl& impl = *impl_;
    std::vector<uint8_t> buffer(4096);
    for (;;) {
        int timeout = -1;
        const auto now = Clock::now();
        for (const auto& p : impl.pending) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(p.due - now).count();
            const int ms = static_cast<int>(std::max<long long>(0, wait));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        pollfd fds[3] = {
            {impl.listen.Get(), POLLIN, 0}, {impl.unicast.Get(), POLLIN, 0}, {impl.wake.Get(), POLLIN, 0}};
        if (::poll(fds, 3, timeout) < 0 && errno != EINTR) {
            Log(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[2].revents != 0) return;
        // Answers that are due.
        const auto due = Clock::now();
        for (auto it = impl.pending.begin(); it != impl.pending.end();) {
            if (it->due > due) {
                ++it;
                continue;
            }
            if (::sendto(impl.unicast.Get(), it->datagram.data(), it->datagram.size(), 0,
                         reinterpret_cast<const sockaddr*>(&it->to), sizeof it->to) < 0)
                Log(std::string("sendto: ") + std::strerror(errno));
            it = impl.pending.erase(it);
        }
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & POLLERR) != 0) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &length); // clears it
            }
            if ((fds[i].revents & POLLIN) == 0) continue;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) continue;
            const std::span<const uint8_t> datagram(buffer.data(), static_cast<size_t>(n));
            const auto request = devmsg::wire::UnwrapRequest(datagram);
            if (!request) {
                Log("ignored " + std::to_string(n) + " bytes from " + AddrText(from) + ": not a request");
                continue;
            }
            if (config_.keepRequests) {
                std::lock_guard lock(mutex_);
                received_.push_back({std::vector<uint8_t>(request->frame.begin(), request->frame.end()),
                                     std::string(request->vendor), AddrText(from)});
            }
            const int64_t now = Clock::now().time_since_epoch().count();
            if (now >= silentFromNs_.load() && now < silentUntilNs_.load()) {
                Log("request prot=" + std::to_string(request->frame[ReqProtocol]) + " from " + AddrText(from) +
                    ": restarting, not answering");
                continue;
            }
            const bool restarted = silentUntilNs_.load() != 0 && now >= silentUntilNs_.load();
            std::string note;
            const auto replies = PlanReplies(restarted ? restarted_ : config_, request->frame, &note);
            Log("request prot=" + std::to_string(request->frame[ReqProtocol]) +
                " op=" + std::to_string(request->frame[ReqOperation]) + " vendor=\"" +
                std::string(request->vendor) + "\" from " + AddrText(from) + ": " + note);
            if (config_.junk && !replies.empty()) {
                static const char junkText[] = "not an NDXL datagram";
                ::sendto(impl.unicast.Get(), junkText, sizeof junkText - 1, 0,
                         reinterpret_cast<const sockaddr*>(&from), sizeof from);
            }
            for (const auto& reply : replies)
                impl.pending.push_back({Clock::now() + std::chrono::milliseconds(reply.delayMs),
                                        devmsg::wire::WrapReply(reply.record), from});
        }
    }
}

} // namespace sim
