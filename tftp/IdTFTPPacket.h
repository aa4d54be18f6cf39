// TFTP packets (RFC 1350, options RFC 2347/2348) as pure byte functions. Every field is
// checked against the datagram's length; nothing is read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tftp {

enum Opcode : uint16_t { opRRQ = 1, opWRQ = 2, opDATA = 3, opACK = 4, opERROR = 5, opOACK = 6 };

constexpr int32_t DefaultBlockSize = 512;
constexpr int32_t HeaderSize = 4;
// Largest block size RFC 2348 allows; with the headers it is the largest IPv4 UDP payload
// that fits a 64 KiB IP packet with room to spare.
constexpr int32_t MaxBlockSize = 65464;

struct Bytes {
    const uint8_t* data;
    size_t size;
};

// Write request: opcode, name, 0, mode, 0, "blksize", 0, decimal block size, 0.
std::string MakeWriteRequest(std::string_view remoteName, std::string_view mode, int32_t blockSize);

// DATA header into the first four bytes of out.
void PutDataHeader(uint8_t* out, uint16_t block);

// Opcode of a datagram; 0 (no opcode) when it has fewer than two bytes.
uint16_t OpcodeOf(Bytes packet);

// ACK block number; none when the datagram is too short to carry it.
std::optional<uint16_t> AckBlockOf(Bytes packet);

struct ServerError {
    uint16_t code;
    std::string message;
};
// ERROR code and message (up to the first zero byte or the end); none when too short.
std::optional<ServerError> ServerErrorOf(Bytes packet);

// The value text of an option acknowledgement whose first option is "blksize" (any
// letter case): up to the next zero byte or the end, empty when the datagram ends behind
// the name. None when the first option is another one.
std::optional<std::string> BlockSizeTextOf(Bytes packet);

} // namespace tftp
