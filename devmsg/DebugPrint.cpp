#include "devmsg/DebugPrint.h"

#include "rtl/Exception.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <string>

void DebugPrint(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = rtl::VFormat(format, args);
    va_end(args);
    // One call per line, even for an empty one; nothing is done about a failed write.
    while (::write(STDERR_FILENO, text.data(), text.size()) < 0 && errno == EINTR) {}
}
