#include "app/Progress.h"

#include <cmath>

namespace app {

static_assert(sizeof(long double) >= 10, "progress arithmetic needs x87 extended precision");

int PercentOf(int32_t workCount, uint32_t firmwareSize)
{
    if (firmwareSize == 0) return 100;
    const long double quotient = static_cast<long double>(workCount) / static_cast<long double>(firmwareSize);
    const long double percent = quotient * 100.0L;
    return static_cast<int>(std::trunc(percent));
}

int BarWidth(int percent)
{
    const long double fraction = static_cast<long double>(percent) * 0.01L;
    const long double width = fraction * static_cast<long double>(ProgressBarWidth);
    return static_cast<int>(std::trunc(width));
}

} // namespace app
