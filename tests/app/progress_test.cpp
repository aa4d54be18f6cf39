// The bar and the percentage as the device tools have always shown them, which ordinary
// double arithmetic does not reproduce (20 % would be 37 pixels, not 36).
#include "app/Progress.h"

#include <gtest/gtest.h>

#include <utility>

using namespace app;

namespace {

TEST(ProgressTest, BarWidthsInExtendedPrecision)
{
    const std::pair<int, int> table[] = {{0, 0},    {20, 36},  {40, 73},  {50, 92},
                                         {60, 110}, {80, 147}, {99, 183}, {100, 185}};
    for (const auto& [percent, width] : table)
        EXPECT_EQ(BarWidth(percent), width) << percent << " %";
}

TEST(ProgressTest, PercentTruncatesAndReaches100OnlyAtTheEnd)
{
    EXPECT_EQ(PercentOf(530, 1000), 52);
    EXPECT_EQ(PercentOf(0, 1000), 0);
    EXPECT_EQ(PercentOf(1024, 1024 * 1024), 0) << "the first block of a megabyte";
    EXPECT_EQ(PercentOf(999, 1000), 99);
    EXPECT_EQ(PercentOf(1000, 1000), 100);
    EXPECT_EQ(PercentOf(4294967, 4294967), 100);
    EXPECT_EQ(PercentOf(0x7FFFFFFF - 1, 0x7FFFFFFF), 99);
    // Every count short of the size stays below 100 for sizes around one block count.
    for (uint32_t size : {1u, 3u, 7u, 1023u, 1025u, 102523u}) {
        EXPECT_LT(PercentOf(static_cast<int32_t>(size - 1), size), 100) << size;
        EXPECT_EQ(PercentOf(static_cast<int32_t>(size), size), 100) << size;
    }
    // An empty image is whole once its one empty block is out.
    EXPECT_EQ(PercentOf(0, 0), 100);
}

} // namespace
