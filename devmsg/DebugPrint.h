// Writer of the diagnostic lines. This platform has no debugger output channel, so the
// lines go to standard error, each in one write so that lines from threads never interleave.
#pragma once

#include <string>
#include <string_view>

void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace devmsg {

// Text from the network as it may appear inside a line: control characters (and DEL) as
// \xNN and the backslash doubled, so that a device cannot end a line, write a forged one
// or drive the terminal.
std::string EscapeControls(std::string_view text);

} // namespace devmsg
