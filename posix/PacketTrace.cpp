#include "posix/PacketTrace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace posix {

namespace pcapng {

namespace {

// pcapng is written in the writer's byte order; readers tell it by the byte-order magic.
template <typename T> void Put(std::vector<uint8_t>& out, T value)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

void PutBig16(uint8_t* at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void PutBig32(uint8_t* at, uint32_t value)
{
    PutBig16(at, static_cast<uint16_t>(value >> 16));
    PutBig16(at + 2, static_cast<uint16_t>(value));
}

void Pad(std::vector<uint8_t>& out)
{
    out.resize((out.size() + 3) & ~size_t{3}, 0);
}

void PutOption(std::vector<uint8_t>& out, uint16_t code, std::span<const uint8_t> value)
{
    Put<uint16_t>(out, code);
    Put<uint16_t>(out, static_cast<uint16_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    Pad(out);
}

// A block's total length goes at its start and its end.
void CloseBlock(std::vector<uint8_t>& out, size_t start)
{
    const auto length = static_cast<uint32_t>(out.size() - start + 4);
    std::memcpy(&out[start + 4], &length, sizeof length);
    Put<uint32_t>(out, length);
}

} // namespace

std::vector<uint8_t> SectionStart(std::string_view application)
{
    std::vector<uint8_t> out;
    Put<uint32_t>(out, 0x0A0D0D0A); // section header block
    Put<uint32_t>(out, 0);
    Put<uint32_t>(out, 0x1A2B3C4D);
    Put<uint16_t>(out, 1);
    Put<uint16_t>(out, 0);
    Put<int64_t>(out, -1); // section length not given
    PutOption(out, 4, {reinterpret_cast<const uint8_t*>(application.data()), application.size()}); // shb_userappl
    Put<uint32_t>(out, 0);                                                                         // opt_endofopt
    CloseBlock(out, 0);

    const size_t start = out.size();
    Put<uint32_t>(out, 1); // interface description block
    Put<uint32_t>(out, 0);
    Put<uint16_t>(out, static_cast<uint16_t>(LinkTypeRaw));
    Put<uint16_t>(out, 0);
    Put<uint32_t>(out, 0); // no snapshot limit
    static constexpr uint8_t name[] = {'d', 'a', 't', 'a', 'g', 'r', 'a', 'm', 's'};
    PutOption(out, 2, name); // if_name
    Put<uint32_t>(out, 0);
    CloseBlock(out, start);
    return out;
}

uint16_t Checksum(std::span<const uint8_t> header)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < header.size(); i += 2)
        sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
    if (header.size() % 2 != 0) sum += static_cast<uint32_t>(header.back() << 8);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void AppendPacket(std::vector<uint8_t>& out, const SeenDatagram& datagram, Endpoint local, int64_t timeUs,
                  uint16_t id, size_t bodyKept)
{
    const size_t payload = datagram.head.size() + datagram.body.size();
    const size_t kept = std::min(bodyKept, datagram.body.size());
    const size_t captured = HeadersSize + datagram.head.size() + kept;
    const Endpoint source = datagram.sent ? local : datagram.peer;
    const Endpoint destination = datagram.sent ? datagram.peer : local;

    // Laid out in place: a trace records every block of an upload, so this runs per datagram.
    constexpr size_t Fixed = 28;   // type, length, interface, time (2), captured, original
    constexpr size_t Options = 12; // epb_flags (8), end of options (4)
    const size_t padded = (captured + 3) & ~size_t{3};
    const auto total = static_cast<uint32_t>(Fixed + padded + Options + 4);
    const size_t start = out.size();
    out.resize(start + total);
    uint8_t* at = out.data() + start;
    const auto time = static_cast<uint64_t>(timeUs);
    const uint32_t fixed[7] = {6, // enhanced packet block
                               total,
                               0, // interface 0
                               static_cast<uint32_t>(time >> 32),
                               static_cast<uint32_t>(time),
                               static_cast<uint32_t>(captured),
                               static_cast<uint32_t>(HeadersSize + payload)};
    std::memcpy(at, fixed, sizeof fixed);

    uint8_t* headers = at + Fixed;
    headers[0] = 0x45; // version 4, 20-byte header
    // A made-up length cannot exceed the field: only a datagram no socket can carry would.
    PutBig16(headers + 2, static_cast<uint16_t>(std::min<size_t>(HeadersSize + payload, 0xFFFF)));
    PutBig16(headers + 4, id);
    headers[8] = 64; // time to live
    headers[9] = 17; // UDP
    PutBig32(headers + 12, source.address);
    PutBig32(headers + 16, destination.address);
    PutBig16(headers + 10, Checksum({headers, 20}));
    PutBig16(headers + 20, source.port);
    PutBig16(headers + 22, destination.port);
    PutBig16(headers + 24, static_cast<uint16_t>(std::min<size_t>(8 + payload, 0xFFFF)));
    // UDP checksum 0: none computed, which IPv4 allows.
    if (!datagram.head.empty()) std::memcpy(headers + HeadersSize, datagram.head.data(), datagram.head.size());
    if (kept > 0) std::memcpy(headers + HeadersSize + datagram.head.size(), datagram.body.data(), kept);

    // epb_flags: direction inbound 1, outbound 2; then the end of options (left zero).
    const uint32_t options[2] = {2u | 4u << 16, datagram.sent ? 2u : 1u};
    std::memcpy(at + Fixed + padded, options, sizeof options);
    std::memcpy(at + total - 4, &total, sizeof total);
}

} // namespace pcapng

std::optional<uint32_t> RouteSource(uint32_t destination, std::string* error)
{
    const auto fail = [error](const char* call) -> std::optional<uint32_t> {
        if (error != nullptr) *error = std::string(call) + ": " + std::strerror(errno);
        return std::nullopt;
    };
    // connect() on a datagram socket only looks the route up; nothing is sent.
    const Fd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe) return fail("socket");
    const int on = 1;
    ::setsockopt(probe.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(destination);
    to.sin_port = htons(9);
    if (::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return fail("connect");
    sockaddr_in self{};
    socklen_t length = sizeof self;
    if (::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&self), &length) != 0) return fail("getsockname");
    return ntohl(self.sin_addr.s_addr);
}

PacketTrace::PacketTrace(const std::string& path, std::string_view application, size_t bodyKept)
    : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)), bodyKept_(bodyKept)
{
    if (!fd_) throw std::runtime_error("cannot write the trace " + path + ": " + std::strerror(errno));
    held_ = pcapng::SectionStart(application);
    WriteHeld();
}

PacketTrace::~PacketTrace()
{
    Flush();
}

int64_t WallMicros()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void PacketTrace::Record(const SeenDatagram& datagram)
{
    const int64_t timeUs = datagram.timeUs != 0 ? datagram.timeUs : WallMicros();
    const std::lock_guard lock(mutex_);
    if (!fd_) return;
    Endpoint local = datagram.local;
    if (local.address == 0) {
        if (!lastSource_ || lastSource_->first != datagram.peer.address) {
            auto it = sources_.find(datagram.peer.address);
            if (it == sources_.end())
                it = sources_.emplace(datagram.peer.address, RouteSource(datagram.peer.address).value_or(0)).first;
            lastSource_ = *it;
        }
        local.address = lastSource_->second;
    }
    pcapng::AppendPacket(held_, datagram, local, timeUs, id_++, bodyKept_);
    // The packet's own time tells when to write (a clock read per datagram is much of the
    // trace's cost); a clock set back writes at once.
    if (held_.size() >= (256u << 10) || timeUs - writtenUs_ >= 100000 || timeUs < writtenUs_) {
        WriteHeld();
        writtenUs_ = timeUs;
    }
}

void PacketTrace::Flush()
{
    const std::lock_guard lock(mutex_);
    WriteHeld();
}

void PacketTrace::WriteHeld()
{
    if (held_.empty() || !fd_) return;
    if (!WriteAll(fd_.Get(), held_.data(), held_.size())) fd_.Reset();
    held_.clear();
}

} // namespace posix
