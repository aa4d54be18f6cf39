#include "posix/ProgramSupport.h"

#include "posix/Fd.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace posix {

void WritePortFile(const std::string& path, std::uint16_t port)
{
    const std::string temporary = path + ".tmp";
    auto fail = [&](const std::string& what) {
        const std::string reason = std::strerror(errno);
        ::unlink(temporary.c_str());
        throw std::runtime_error("port file " + path + ": " + what + ": " + reason);
    };
    Fd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file) fail("open " + temporary);
    const std::string text = std::to_string(port) + "\n";
    if (::write(file.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) fail("write");
    if (::close(file.Release()) != 0) fail("close");
    if (std::rename(temporary.c_str(), path.c_str()) != 0) fail("rename");
}

std::optional<double> ParseShare(const std::string& text)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || !(value >= 0.0 && value <= 1.0))
        return std::nullopt;
    return value;
}

double ShareOption(const char* program, const char* option, const char* text)
{
    const auto share = ParseShare(text);
    if (!share) {
        std::fprintf(stderr, "%s: bad share for %s: %s\n", program, option, text);
        std::exit(2);
    }
    return *share;
}

} // namespace posix
