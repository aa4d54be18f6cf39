// TFTP packets (RFC 1350, options RFC 2347/2348) as pure byte functions. Every field is
// checked against the datagram's length; nothing is read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tftp {

enum Opcode : uint16_t { opRRQ = 1, opWRQ = 2, opDATA = 3, opACK = 4, opERROR = 5, opOACK = 6 };

constexpr int32_t DefaultBlockSize = 512;
constexpr int32_t HeaderSize = 4;
// Largest block size RFC 2348 lets a client ask for.
constexpr int32_t MaxBlockSize = 65464;
// Largest block size that still fits one UDP/IPv4 datagram (65507 bytes) with its header: the
// largest a server's option acknowledgement may grant.
constexpr int32_t MaxDatagramBlockSize = 65507 - 4;
// Largest window RFC 7440 allows.
constexpr int32_t MaxWindowSize = 65535;

struct Bytes {
    const uint8_t* data;
    size_t size;
};

// Write request: opcode, name, 0, mode, 0, "blksize", 0, decimal block size, 0.
std::string MakeWriteRequest(std::string_view remoteName, std::string_view mode, int32_t blockSize);

// Options a write request may carry; each is left out when it is 0 (tsize: below 0).
struct RequestOptions {
    int32_t blockSize = 0;
    int32_t windowSize = 0;
    int64_t transferSize = -1;
};
// Write request with the options in the order blksize, windowsize, tsize.
std::string MakeWriteRequest(std::string_view remoteName, std::string_view mode, const RequestOptions& options);

// ERROR datagram: opcode, code, message, 0.
std::string MakeError(uint16_t code, std::string_view message);

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

// Every option of an option acknowledgement in order, as name and value views into the
// datagram; a name the datagram ends behind has an empty value.
struct Option {
    std::string_view name;
    std::string_view value;
};
std::vector<Option> OptionsOf(Bytes packet);

} // namespace tftp
