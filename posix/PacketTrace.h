// Packet traces our programs write themselves: every datagram a socket of ours sends or
// receives, in a pcapng file that Wireshark and tshark open with no capture rights. A socket
// never sees the IPv4 and UDP headers of its datagrams: they are made up from the real
// addresses and ports, on an interface of link type "raw IPv4".
#pragma once

#include "posix/Fd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace posix {

struct Endpoint {
    uint32_t address = 0; // host order
    uint16_t port = 0;
};

// One datagram as its socket saw it. Its bytes are head then body: a TFTP block's header and
// the file's bytes, which a trace may leave out.
struct SeenDatagram {
    bool sent = true;
    Endpoint local; // address 0 (a socket bound to any address): the route to peer tells
    Endpoint peer;
    std::span<const uint8_t> head;
    std::span<const uint8_t> body = {};
    int64_t timeUs = 0; // when it went (WallMicros); 0: when it is recorded
};

// Microseconds since the epoch, as traces stamp packets: the datagrams of one send share one.
int64_t WallMicros();

// Called for each datagram, on the thread that sent or received it.
using DatagramObserver = std::function<void(const SeenDatagram&)>;

namespace pcapng {

inline constexpr uint32_t LinkTypeRaw = 101; // raw IPv4 (or IPv6) packets, no link header
inline constexpr size_t HeadersSize = 28;    // IPv4 (20) and UDP (8)

// The section header block and the interface description block every packet refers to.
std::vector<uint8_t> SectionStart(std::string_view application);
// One enhanced packet block: the datagram behind its IPv4 and UDP headers, at timeUs
// (microseconds since the epoch), its direction in the block's flags. local is the address
// the packet carries (datagram.local with its address filled in); id the IPv4 identification.
// Only bodyKept bytes of the body are captured; the headers and the block's original length
// count all of them.
void AppendPacket(std::vector<uint8_t>& out, const SeenDatagram& datagram, Endpoint local, int64_t timeUs,
                  uint16_t id, size_t bodyKept = SIZE_MAX);
// The IPv4 header checksum (RFC 1071) over header bytes whose checksum field is zero.
uint16_t Checksum(std::span<const uint8_t> header);

} // namespace pcapng

// The source address the routing table would give a datagram to destination (host order),
// found without sending anything; nullopt when no route leads there (error, when given, says
// why).
std::optional<uint32_t> RouteSource(uint32_t destination, std::string* error = nullptr);

// A trace file. An existing file is appended to as a new section (a retry's attempt extends
// the trace of the one before). Packets are held and written in pieces, at the latest when
// one comes 100 ms after the last write, and when the trace closes: a process killed
// outright loses what was held.
class PacketTrace {
public:
    // The bytes of each TFTP block's data kept by default: enough to tell which part of which
    // image went out. All of them would make a trace as large as the image, and writing it
    // would slow the upload down.
    static constexpr size_t BlockBytesKept = 32;

    // Throws std::runtime_error naming the file and the reason.
    PacketTrace(const std::string& path, std::string_view application, size_t bodyKept = BlockBytesKept);
    ~PacketTrace();
    PacketTrace(const PacketTrace&) = delete;
    PacketTrace& operator=(const PacketTrace&) = delete;

    // Any thread. A failure to write ends the trace quietly: it never stops the work traced.
    void Record(const SeenDatagram& datagram);
    void Flush();
    DatagramObserver Observer()
    {
        return [this](const SeenDatagram& d) { Record(d); };
    }

private:
    void WriteHeld();

    std::mutex mutex_;
    Fd fd_;
    const size_t bodyKept_;
    std::vector<uint8_t> held_;
    std::map<uint32_t, uint32_t> sources_; // destination -> our address toward it
    std::optional<std::pair<uint32_t, uint32_t>> lastSource_;
    uint16_t id_ = 0;
    int64_t writtenUs_ = 0; // the time of the packet that last made the trace write
};

} // namespace posix
