#include "IdTFTPPacket.h"

#include <cstring>
#include <strings.h>

namespace tftp {

namespace {

uint16_t Word(Bytes packet, size_t at)
{
    return static_cast<uint16_t>(packet.data[at] << 8 | packet.data[at + 1]);
}

// Text from offset at up to the first zero byte or the end of the datagram.
std::string_view TextAt(Bytes packet, size_t at)
{
    if (at >= packet.size) return {};
    const char* begin = reinterpret_cast<const char*>(packet.data + at);
    const void* zero = std::memchr(begin, 0, packet.size - at);
    const size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - begin) : packet.size - at;
    return {begin, length};
}

} // namespace

std::string MakeWriteRequest(std::string_view remoteName, std::string_view mode, int32_t blockSize)
{
    const std::string size = std::to_string(blockSize);
    std::string packet;
    packet.reserve(2 + remoteName.size() + mode.size() + size.size() + 11);
    packet += '\0';
    packet += static_cast<char>(opWRQ);
    packet += remoteName;
    packet += '\0';
    packet += mode;
    packet += '\0';
    packet += "blksize";
    packet += '\0';
    packet += size;
    packet += '\0';
    return packet;
}

void PutDataHeader(uint8_t* out, uint16_t block)
{
    out[0] = 0;
    out[1] = opDATA;
    out[2] = static_cast<uint8_t>(block >> 8);
    out[3] = static_cast<uint8_t>(block);
}

uint16_t OpcodeOf(Bytes packet)
{
    return packet.size < 2 ? 0 : Word(packet, 0);
}

std::optional<uint16_t> AckBlockOf(Bytes packet)
{
    if (packet.size < 4) return std::nullopt;
    return Word(packet, 2);
}

std::optional<ServerError> ServerErrorOf(Bytes packet)
{
    if (packet.size < 4) return std::nullopt;
    return ServerError{Word(packet, 2), std::string(TextAt(packet, 4))};
}

std::optional<std::string> BlockSizeTextOf(Bytes packet)
{
    const std::string_view name = TextAt(packet, 2);
    if (name.size() != 7 || ::strncasecmp(name.data(), "blksize", 7) != 0) return std::nullopt;
    return std::string(TextAt(packet, 2 + 7 + 1));
}

} // namespace tftp
