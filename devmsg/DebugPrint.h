// Writer of the diagnostic lines. This platform has no debugger output channel, so the
// lines go to standard error, each in one write so that lines from threads never interleave.
#pragma once

#include <string>
#include <string_view>

void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
