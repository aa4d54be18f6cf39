// The request frames handed to the messaging library and the fields read from its reply
// records, as pure functions over byte vectors. Nothing here trusts a reply: every field is
// read only within the bytes that were actually given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace devmsg::frames {

inline constexpr size_t RequestSize = 832; // DeviceRequest
inline constexpr size_t ReplySize = 800;   // ReplyBuffer / DeviceReply
inline constexpr size_t PasswordSize = 12;

// Protocol numbers.
inline constexpr uint8_t ApdpDiscovery = 17;   // request and first answer form
inline constexpr uint8_t ApdpDiscoveryV4 = 20; // answer carrying the echo word
inline constexpr uint8_t Prot33 = 33;
inline constexpr uint8_t WdcpPassword = 65;   // after a protocol-17 answer
inline constexpr uint8_t WdcpPasswordV4 = 68; // after a protocol-20 answer
inline constexpr uint8_t Prot96 = 96;

inline constexpr uint8_t OpDiscovery = 0;
inline constexpr uint8_t OpPassword = 16;

// DeviceRequest offsets.
inline constexpr size_t ReqMac = 0;
inline constexpr size_t ReqProtocol = 6;
inline constexpr size_t ReqOperation = 7;
inline constexpr size_t ReqPassword = 8;
inline constexpr size_t ReqValue = 20;
inline constexpr size_t ReqBlock = 22;
inline constexpr size_t ReqBlockSize = 33;
inline constexpr size_t ReqEcho = 198;

// DeviceReply offsets.
inline constexpr size_t RepIp = 0;
inline constexpr size_t RepIpSize = 16;
inline constexpr size_t RepMac = 16;
inline constexpr size_t RepProtocol = 22;
inline constexpr size_t RepOperation = 23;
inline constexpr size_t RepResult = 24;
inline constexpr size_t RepStatus = 26;
inline constexpr size_t RepName = 32;
inline constexpr size_t RepEcho = 276;

inline constexpr size_t MacSize = 6;
inline constexpr size_t EchoSize = 4;

// 832 bytes, protocol 17, operation 0, everything else zero.
std::vector<uint8_t> BuildDiscoveryRequest();

// The password protocol that answers a discovery answer of the given protocol: 65 for 17,
// 68 for 20, 0 for anything else.
uint8_t PasswordProtocolFor(uint8_t discoveryProtocol);

// Password request for the device that sent reply: protocol (65 or 68), operation 16, the
// reply's MAC, the password's first 12 bytes (rest zero), and for 68 the reply's echo word.
// Reply bytes beyond reply.size() read as zero. Undefined bytes are zero.
std::vector<uint8_t> BuildPasswordRequest(std::span<const uint8_t> reply, std::string_view password,
                                          uint8_t protocol);

// The reply's IP text: up to its zero byte, never past the 16-byte field (nor the record).
std::string ReplyIpText(std::span<const uint8_t> reply);
// The reply's name: from offset 32 up to its zero byte, never past the record.
std::string ReplyName(std::span<const uint8_t> reply);
uint8_t ReplyByte(std::span<const uint8_t> reply, size_t offset);
uint16_t ReplyWord(std::span<const uint8_t> reply, size_t offset); // little-endian
inline uint8_t ReplyProtocol(std::span<const uint8_t> reply)
{
    return ReplyByte(reply, RepProtocol);
}
inline uint8_t ReplyOperation(std::span<const uint8_t> reply)
{
    return ReplyByte(reply, RepOperation);
}
inline uint16_t ReplyResult(std::span<const uint8_t> reply)
{
    return ReplyWord(reply, RepResult);
}
inline uint16_t ReplyStatus(std::span<const uint8_t> reply)
{
    return ReplyWord(reply, RepStatus);
}
// A discovery answer of either form (17 or 20).
inline bool IsDiscoveryAnswer(std::span<const uint8_t> reply)
{
    return PasswordProtocolFor(ReplyProtocol(reply)) != 0;
}

} // namespace devmsg::frames
