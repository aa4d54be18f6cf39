#include "app/TextFile.h"

#include "posix/Fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace app {

namespace {

#ifdef O_PATH
constexpr int DirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int DirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
// Non-blocking, so that opening a pipe with no writer returns at once.
constexpr int FileFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// The path is the working directory plus the file name, and a working directory may be
// deeper than the kernel accepts in one path: then walk to the file one directory at a time.
posix::Fd OpenForReading(const std::string& path)
{
    posix::Fd file(::open(path.c_str(), FileFlags));
    if (file || errno != ENAMETOOLONG) return file;

    posix::Fd dir(::open(!path.empty() && path.front() == '/' ? "/" : ".", DirectoryFlags));
    std::size_t pos = 0;
    while (dir) {
        while (pos < path.size() && path[pos] == '/')
            ++pos;
        const std::size_t end = std::min(path.find('/', pos), path.size());
        const std::string part = path.substr(pos, end - pos);
        std::size_t next = end;
        while (next < path.size() && path[next] == '/')
            ++next;
        if (next >= path.size()) return posix::Fd(::openat(dir.Get(), part.c_str(), FileFlags));
        dir = posix::Fd(::openat(dir.Get(), part.c_str(), DirectoryFlags));
        pos = next;
    }
    return posix::Fd();
}

} // namespace

std::optional<TextFileContent> ReadTextFile(const std::string& path)
{
    posix::Fd file = OpenForReading(path);
    struct stat st {};
    if (!file || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

    TextFileContent content;
    // One byte beyond the cap tells a file that is longer from one that is exactly as long.
    std::string& bytes = content.bytes;
    bytes.resize(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), MaxTextFileBytes) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            if (have > MaxTextFileBytes) break;
            bytes.resize(std::min(bytes.size() * 2, MaxTextFileBytes + 1));
        }
        const ssize_t got = ::read(file.Get(), bytes.data() + have, bytes.size() - have);
        if (got > 0)
            have += static_cast<std::size_t>(got);
        else if (got == 0)
            break;
        else if (errno != EINTR)
            return std::nullopt;
    }
    content.truncated = have > MaxTextFileBytes;
    bytes.resize(std::min(have, MaxTextFileBytes));
    if (content.truncated) {
        // Whole lines only: a cut "Path1=" line could name another, valid file, and a cut
        // character would make a UTF-8 file read as Windows-1252.
        const std::size_t lineEnd = bytes.rfind('\n');
        bytes.resize(lineEnd == std::string::npos ? 0 : lineEnd + 1);
    }
    return content;
}

std::string InCurrentDirectory(const std::string& name)
{
    std::error_code error;
    const std::filesystem::path dir = std::filesystem::current_path(error);
    return error ? name : (dir / name).string();
}

} // namespace app
