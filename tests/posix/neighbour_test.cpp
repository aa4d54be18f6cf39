// The neighbour-table command is started for one host address only: "default" or a prefix
// would flush a whole range of entries.
#include "posix/NeighbourCache.h"

#include "tests/posix/arp_recorder.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

TEST(NeighbourTest, OnlyOneDottedHostAddressQualifies)
{
    for (const char* text : {"127.0.0.2", "127.1.2.3", "127.9.0.255", "127.0.0.1", "127.255.255.254"})
        EXPECT_TRUE(rtl::IsDottedIPv4Host(text)) << text;
    for (const char* text :
         {"",        "default",         "all",         "any",        "127.9.0.0/24", "127.0.0.0/0",
          "0.0.0.0", "255.255.255.255", "127.0.0.2 ",  " 127.0.0.2", "127.0.0.02",   "0127.0.0.1",
          "127.0.0", "127.0.0.2.",      "127.0.0.2.5", "256.0.0.1",  "127.0.0.1000", "127..0.1",
          "-d",      "127.0.0.2\n",     "0x7f.0.0.1",  "fe80::1"})
        EXPECT_FALSE(rtl::IsDottedIPv4Host(text)) << testing::PrintToString(std::string(text));
    EXPECT_FALSE(rtl::IsDottedIPv4Host(std::string("127.0.0.4\0", 10)));
}

TEST(NeighbourTest, TheCommandGetsTheAddressAsOneArgumentAndNothingElseStarts)
{
    char pattern[] = "/tmp/neighbour-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    {
        ArpRecorder recorder(dir);
        for (const char* text : {"default", "127.9.0.0/24", "", "127.0.0.2 -d 127.0.0.3"})
            posix::ClearNeighbourEntry(text);
        posix::ClearNeighbourEntry("127.0.0.2");
        // Every run that was ever started has exec'd by now (the spawn returns after it).
        recorder.WaitIdle();
        EXPECT_EQ(recorder.Runs(), std::vector<std::string>{"-d|127.0.0.2|"});
    }
    std::filesystem::remove_all(dir);
}

} // namespace
