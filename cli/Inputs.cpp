#include "cli/Inputs.h"

#include "posix/Fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace fleet {

namespace {

// Address lists and earlier reports are small; a larger "file" (/dev/zero) is no list.
constexpr size_t MaxListBytes = 4 * 1024 * 1024;
// A password file's first line; the device compares 12 bytes.
constexpr size_t MaxPasswordLine = 4096;

posix::Fd OpenInput(const std::string& path)
{
    if (path == "-") return posix::Fd(::dup(STDIN_FILENO));
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw std::runtime_error(path + ": is a directory");
    // Not waiting in open() for a FIFO's writer: signals are taken as data by then, so a
    // Ctrl-C could not end that wait. A pipe with its writer reads as before; a FIFO nobody
    // writes to reads as empty.
    posix::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) throw std::runtime_error(path + ": " + std::strerror(errno));
    if (::fcntl(fd.Get(), F_SETFL, 0) < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    return fd;
}

// Reads path ("-": standard input) until its end, or until stop says the text read so far is
// enough; more than limit bytes is an error.
std::string ReadInput(const std::string& path, size_t limit,
                      const std::function<bool(const std::string&)>& stop = {})
{
    const posix::Fd fd = OpenInput(path);
    std::string text;
    char buffer[4096];
    for (;;) {
        if (stop && stop(text)) return text;
        if (text.size() > limit)
            throw std::runtime_error(path + ": longer than " + std::to_string(limit) + " bytes");
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(path + ": read error: " + std::strerror(errno));
        if (n == 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

std::string ReadWhole(const std::string& path)
{
    return ReadInput(path, MaxListBytes);
}

std::string ReadPasswordFile(const std::string& path)
{
    // Only the first line is read: the rest may be anything, even endless.
    std::string text = ReadInput(path, MaxPasswordLine + 4096, [](const std::string& t) {
        return t.find('\n') != std::string::npos || t.size() > MaxPasswordLine;
    });
    text = text.substr(0, text.find('\n'));
    if (text.size() > MaxPasswordLine)
        throw std::runtime_error(path + ": the first line is longer than " + std::to_string(MaxPasswordLine) +
                                 " bytes");
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

std::optional<std::string> FindPassword(const std::optional<std::string>& password,
                                        const std::string& passwordFile, std::string& error)
{
    if (password) return password;
    if (!passwordFile.empty()) {
        try {
            return ReadPasswordFile(passwordFile);
        } catch (const std::exception& e) {
            error = std::string("--password-file: ") + e.what();
            return std::nullopt;
        }
    }
    if (const char* env = std::getenv("FTPUPG_PASSWORD")) return std::string(env);
    error = "no password: give --password, --password-file or FTPUPG_PASSWORD";
    return std::nullopt;
}

std::string BesideList(const std::string& listPath, const std::string& path)
{
    if (path.front() == '/' || listPath == "-") return path;
    const size_t slash = listPath.rfind('/');
    return slash == std::string::npos ? path : listPath.substr(0, slash + 1) + path;
}

} // namespace fleet
