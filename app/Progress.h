// Progress arithmetic in x87 extended precision: the percentages and bar widths an operator
// sees must be exactly those the device's tools have always shown (530 of 1000 is 52 %).
#pragma once

#include <cstdint>

namespace app {

inline constexpr int ProgressBarWidth = 185;

// trunc(count / size * 100), each step rounded to extended. An empty image (size 0) has
// been sent whole as soon as its one empty block goes out: 100.
int PercentOf(int32_t workCount, uint32_t firmwareSize);

// trunc((percent * 0.01) * 185) in extended: 20 % gives 36, 40 % 73, 100 % 185.
int BarWidth(int percent);

} // namespace app
