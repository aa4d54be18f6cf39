#include "tftp/IdTFTPPacket.h"

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

void AppendOption(std::string& packet, std::string_view name, int64_t value)
{
    packet += name;
    packet += '\0';
    packet += std::to_string(value);
    packet += '\0';
}

} // namespace

std::string MakeWriteRequest(std::string_view remoteName, std::string_view mode, int32_t blockSize)
{
    // The classic request always names a block size, whatever its value.
    std::string packet = MakeWriteRequest(remoteName, mode, RequestOptions{});
    AppendOption(packet, "blksize", blockSize);
    return packet;
}

std::string MakeWriteRequest(std::string_view remoteName, std::string_view mode, const RequestOptions& options)
{
    std::string packet;
    packet.reserve(2 + remoteName.size() + mode.size() + 64);
    packet += '\0';
    packet += static_cast<char>(opWRQ);
    packet += remoteName;
    packet += '\0';
    packet += mode;
    packet += '\0';
    if (options.blockSize > 0) AppendOption(packet, "blksize", options.blockSize);
    if (options.windowSize > 0) AppendOption(packet, "windowsize", options.windowSize);
    if (options.transferSize >= 0) AppendOption(packet, "tsize", options.transferSize);
    return packet;
}

std::string MakeError(uint16_t code, std::string_view message)
{
    std::string packet{'\0', static_cast<char>(opERROR), static_cast<char>(code >> 8), static_cast<char>(code)};
    packet += message;
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

std::vector<Option> OptionsOf(Bytes packet)
{
    std::vector<Option> options;
    for (size_t at = 2; at < packet.size;) {
        const std::string_view name = TextAt(packet, at);
        at += name.size() + 1;
        const std::string_view value = TextAt(packet, at);
        at += value.size() + 1;
        options.push_back({name, value});
    }
    return options;
}

} // namespace tftp
