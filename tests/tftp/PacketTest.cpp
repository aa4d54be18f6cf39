// TFTP packets as bytes.
#include "tftp/IdTFTPException.h"
#include "tftp/IdTFTPPacket.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

using namespace tftp;

Bytes B(const std::string& s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(TftpPacket, WriteRequestBytes)
{
    EXPECT_EQ(MakeWriteRequest("/", "octet", 1024),
              "\0\2/\0octet\0blksize\0"
              "1024\0"s);
    EXPECT_EQ(MakeWriteRequest("f.bin", "netascii", -7), "\0\2f.bin\0netascii\0blksize\0-7\0"s);
    uint8_t header[4];
    PutDataHeader(header, 0xABCD);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 4), "\0\3\xAB\xCD"s);
}

TEST(TftpPacket, ShortDatagramsNeverReadPastTheirEnd)
{
    EXPECT_EQ(OpcodeOf(B("")), 0);
    EXPECT_EQ(OpcodeOf(B("\4"s)), 0);
    EXPECT_EQ(OpcodeOf(B("\0\4"s)), opACK);
    EXPECT_FALSE(AckBlockOf(B("\0\4\1"s)));
    EXPECT_EQ(*AckBlockOf(B("\0\4\xFF\xFEjunk"s)), 65534);
    EXPECT_FALSE(ServerErrorOf(B("\0\5\0"s)));
}

TEST(TftpPacket, ErrorMessageEndsAtZeroOrDatagramEnd)
{
    auto e = ServerErrorOf(B("\0\5\0\1No such file\0trailing"s));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, 1);
    EXPECT_EQ(e->message, "No such file");
    e = ServerErrorOf(B("\0\5\1\0unterminated"s));
    EXPECT_EQ(e->code, 256);
    EXPECT_EQ(e->message, "unterminated");
    EXPECT_EQ(ServerErrorOf(B("\0\5\0\0"s))->message, "");
}

TEST(TftpPacket, OptionAckReadsOnlyAFirstBlksize)
{
    EXPECT_EQ(*BlockSizeTextOf(B("\0\6blksize\0"
                                 "1024\0"s)),
              "1024");
    EXPECT_EQ(*BlockSizeTextOf(B("\0\6BlkSize\0"
                                 "512"s)),
              "512");
    EXPECT_EQ(*BlockSizeTextOf(B("\0\6blksize"s)), "");
    EXPECT_EQ(*BlockSizeTextOf(B("\0\6blksize\0"s)), "");
    EXPECT_FALSE(
        BlockSizeTextOf(B("\0\6tsize\0"
                          "5\0blksize\0"
                          "1024\0"s)));
    EXPECT_FALSE(
        BlockSizeTextOf(B("\0\6blksizex\0"
                          "1\0"s)));
    EXPECT_FALSE(BlockSizeTextOf(B("\0\6"s)));
}

template <class E> void ExpectRaised(uint16_t code)
{
    try {
        RaiseTFTPError(code, "msg");
    } catch (const E& e) {
        EXPECT_EQ(typeid(e), typeid(E)) << code;
        EXPECT_EQ(e.Message(), "msg");
        return;
    }
}

TEST(TftpPacket, ErrorCodesPickTheirClass)
{
    ExpectRaised<EIdTFTPException>(0);
    ExpectRaised<EIdTFTPFileNotFound>(1);
    ExpectRaised<EIdTFTPAccessViolation>(2);
    ExpectRaised<EIdTFTPAllocationExceeded>(3);
    ExpectRaised<EIdTFTPIllegalOperation>(4);
    ExpectRaised<EIdTFTPUnknownTransferID>(5);
    ExpectRaised<EIdTFTPFileAlreadyExists>(6);
    ExpectRaised<EIdTFTPNoSuchUser>(7);
    ExpectRaised<EIdTFTPOptionNegotiationFailed>(8);
    ExpectRaised<EIdTFTPException>(9);
    ExpectRaised<EIdTFTPException>(65535);
}

} // namespace
