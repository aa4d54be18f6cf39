// Datagram framing shared by the messaging library and the simulated device. Every datagram
// starts with a small header so that stray traffic on the port is recognised and ignored.
// The layout is described in docs/devmsg-wire.md.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace devmsg::wire {

inline constexpr uint16_t DefaultPort = 17250;
inline constexpr size_t FrameSize = 832;  // request frame handed to NDXL_SendData
inline constexpr size_t RecordSize = 800; // reply record handed out by NDXL_GetData
inline constexpr uint8_t Magic[4] = {'N', 'D', 'X', 'L'};
inline constexpr uint8_t Version = 1;
inline constexpr uint8_t KindRequest = 1;
inline constexpr uint8_t KindReply = 2;
inline constexpr size_t HeaderSize = 8;
inline constexpr size_t VendorSize = 8;
inline constexpr size_t RequestDatagramSize = HeaderSize + VendorSize + FrameSize;
inline constexpr size_t MaxReplyDatagramSize = HeaderSize + RecordSize;

// A zeroed datagram of total bytes with the header filled in.
inline std::vector<uint8_t> Datagram(uint8_t kind, size_t total)
{
    std::vector<uint8_t> out(total, 0);
    std::copy(std::begin(Magic), std::end(Magic), out.begin());
    out[4] = Version;
    out[5] = kind;
    return out;
}

inline bool HeaderIs(std::span<const uint8_t> datagram, uint8_t kind)
{
    return datagram.size() >= HeaderSize && std::memcmp(datagram.data(), Magic, sizeof Magic) == 0 &&
           datagram[4] == Version && datagram[5] == kind;
}

// frame must hold FrameSize bytes; the vendor tag is cut to VendorSize bytes.
inline std::vector<uint8_t> WrapRequest(std::string_view vendor, const uint8_t* frame)
{
    auto out = Datagram(KindRequest, RequestDatagramSize);
    std::copy_n(vendor.begin(), std::min(vendor.size(), VendorSize), out.begin() + HeaderSize);
    std::copy_n(frame, FrameSize, out.begin() + HeaderSize + VendorSize);
    return out;
}

struct Request {
    std::string_view vendor;        // up to its first zero byte
    std::span<const uint8_t> frame; // FrameSize bytes
};

// Only a datagram of exactly the request size counts: anything else is not ours.
inline std::optional<Request> UnwrapRequest(std::span<const uint8_t> datagram)
{
    if (datagram.size() != RequestDatagramSize || !HeaderIs(datagram, KindRequest)) return std::nullopt;
    const auto* tag = reinterpret_cast<const char*>(datagram.data() + HeaderSize);
    size_t n = 0;
    while (n < VendorSize && tag[n] != '\0')
        ++n;
    return Request{std::string_view(tag, n), datagram.subspan(HeaderSize + VendorSize, FrameSize)};
}

// A record may be shorter than RecordSize (the reader zero-fills); a longer one is the
// sender's fault and is cut by the reader.
inline std::vector<uint8_t> WrapReply(std::span<const uint8_t> record)
{
    auto out = Datagram(KindReply, HeaderSize + record.size());
    std::copy(record.begin(), record.end(), out.begin() + HeaderSize);
    return out;
}

inline std::optional<std::span<const uint8_t>> UnwrapReply(std::span<const uint8_t> datagram)
{
    if (!HeaderIs(datagram, KindReply)) return std::nullopt;
    return datagram.subspan(HeaderSize);
}

} // namespace devmsg::wire
