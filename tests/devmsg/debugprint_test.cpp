// Text from the network inside diagnostic lines: a device name cannot end the line, forge
// another one or send escape sequences to the terminal; the line's format stays as it is.
#include "tests/devmsg/DevmsgTestSupport.h"

#include "devmsg/DebugPrint.h"
#include "devmsg/wire/DeviceFrames.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace std::string_literals;

namespace {

TEST(DebugPrintTest, ADeviceNameCannotForgeLines)
{
    std::vector<uint8_t> reply(devmsg::frames::ReplySize, 0);
    const char ip[] = "127.0.0.2\n[WDCP]";
    std::memcpy(reply.data(), ip, std::strlen(ip));
    reply[devmsg::frames::RepProtocol] = devmsg::frames::ApdpDiscovery;
    const std::string name = "KR730\"\n[APDP]Found device IP=127.0.0.9 name=\"\x1b[2J";
    std::memcpy(reply.data() + 32, name.data(), name.size());

    TestHost host;
    host.ip = "127.0.0.9"; // no match: nothing is sent
    TestHost& exchange = host;
    StderrCapture capture;
    exchange.OnAPDPResponse(reply.data());
    capture.Restore();
    EXPECT_EQ(capture.Text(),
              "[APDP]Found device IP=127.0.0.2\\x0a[WDCP] name=\"KR730\"\\x0a[APDP]Found device "
              "IP=127.0.0.9 name=\"\\x1b[2J\"");
    EXPECT_EQ(DeviceFound, 0);
}

} // namespace

TEST(DebugPrintTest, WritesExactlyTheFormattedTextInOneWrite)
{
    StderrCapture capture;
    DebugPrint("[NDXL]Response prot=%x op=%x\n", 17, 96);
    DebugPrint("%s", "");
    DebugPrint("[APDP]Found device IP=%s name=\"%s\"", "127.0.0.7", "KR730");
    DebugPrint("[WDCP]Resule %8X, %4X \n", 1u, 0u);
    DebugPrint("[WDCP]Resule %8X, %4X \n", 0xffffu, 0xabcdu);
    const std::string big(5000, 'z');
    DebugPrint("%s|", big.c_str());
    EXPECT_EQ(capture.Text(),
              "[NDXL]Response prot=11 op=60\n"
              "[APDP]Found device IP=127.0.0.7 name=\"KR730\""
              "[WDCP]Resule        1,    0 \n"
              "[WDCP]Resule     FFFF, ABCD \n" +
                  big + "|");
}
