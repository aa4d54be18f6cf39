#include "devmsg/wire/DeviceFrames.h"

#include <algorithm>

namespace devmsg::frames {

namespace {

std::string TextUpToZero(std::span<const uint8_t> field)
{
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    return std::string(field.begin(), end);
}

std::span<const uint8_t> Field(std::span<const uint8_t> reply, size_t offset, size_t size)
{
    if (offset >= reply.size()) return {};
    return reply.subspan(offset, std::min(size, reply.size() - offset));
}

} // namespace

std::vector<uint8_t> BuildDiscoveryRequest()
{
    std::vector<uint8_t> frame(RequestSize, 0);
    frame[ReqProtocol] = ApdpDiscovery;
    frame[ReqOperation] = OpDiscovery;
    return frame;
}

uint8_t PasswordProtocolFor(uint8_t discoveryProtocol)
{
    switch (discoveryProtocol) {
    case ApdpDiscovery: return WdcpPassword;
    case ApdpDiscoveryV4: return WdcpPasswordV4;
    default: return 0;
    }
}

std::vector<uint8_t> BuildPasswordRequest(std::span<const uint8_t> reply, std::string_view password,
                                          uint8_t protocol)
{
    std::vector<uint8_t> frame(RequestSize, 0);
    frame[ReqProtocol] = protocol;
    frame[ReqOperation] = OpPassword;
    const auto mac = Field(reply, RepMac, MacSize);
    std::copy(mac.begin(), mac.end(), frame.begin() + ReqMac);
    // The field holds 12 bytes: a longer password is cut, as the device could hold no more.
    const size_t n = std::min(password.size(), PasswordSize);
    std::copy_n(password.begin(), n, frame.begin() + ReqPassword);
    // The 16-bit value at 20 and the block at 22 stay zero.
    if (protocol == WdcpPasswordV4) {
        const auto echo = Field(reply, RepEcho, EchoSize);
        std::copy(echo.begin(), echo.end(), frame.begin() + ReqEcho);
    }
    return frame;
}

std::string ReplyIpText(std::span<const uint8_t> reply)
{
    return TextUpToZero(Field(reply, RepIp, RepIpSize));
}

std::string ReplyName(std::span<const uint8_t> reply)
{
    return TextUpToZero(Field(reply, RepName, ReplySize));
}

uint8_t ReplyByte(std::span<const uint8_t> reply, size_t offset)
{
    return offset < reply.size() ? reply[offset] : 0;
}

uint16_t ReplyWord(std::span<const uint8_t> reply, size_t offset)
{
    return static_cast<uint16_t>(ReplyByte(reply, offset) | (ReplyByte(reply, offset + 1) << 8));
}

} // namespace devmsg::frames
