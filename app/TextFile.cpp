#include "TextFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace {

class FileHandle {
public:
    explicit FileHandle(int fd = -1) : fd_(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileHandle& operator=(FileHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~FileHandle() { Close(); }

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }

private:
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int fd_;
};

#ifdef O_PATH
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
// Non-blocking, so that opening a pipe with no writer returns at once.
constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// The path is the working directory plus the file name, and a working directory may be
// deeper than the kernel accepts in one path: then walk to the file one directory at a time.
FileHandle OpenForReading(const std::string& path)
{
    FileHandle file(::open(path.c_str(), kFileFlags));
    if (file.IsOpen() || errno != ENAMETOOLONG)
        return file;

    FileHandle dir(::open(!path.empty() && path.front() == '/' ? "/" : ".", kDirectoryFlags));
    std::size_t pos = 0;
    while (dir.IsOpen()) {
        while (pos < path.size() && path[pos] == '/')
            ++pos;
        const std::size_t end = std::min(path.find('/', pos), path.size());
        const std::string part = path.substr(pos, end - pos);
        std::size_t next = end;
        while (next < path.size() && path[next] == '/')
            ++next;
        if (next >= path.size())
            return FileHandle(::openat(dir.Get(), part.c_str(), kFileFlags));
        dir = FileHandle(::openat(dir.Get(), part.c_str(), kDirectoryFlags));
        pos = next;
    }
    return FileHandle();
}

} // namespace

std::optional<TextFileContent> ReadTextFile(const std::string& path)
{
    FileHandle file = OpenForReading(path);
    struct stat st {};
    if (!file.IsOpen() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;

    TextFileContent content;
    // One byte beyond the cap tells a file that is longer from one that is exactly as long.
    std::string& bytes = content.bytes;
    bytes.resize(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), kMaxTextFileBytes) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            if (have > kMaxTextFileBytes)
                break;
            bytes.resize(std::min(bytes.size() * 2, kMaxTextFileBytes + 1));
        }
        const ssize_t got = ::read(file.Get(), bytes.data() + have, bytes.size() - have);
        if (got > 0)
            have += static_cast<std::size_t>(got);
        else if (got == 0)
            break;
        else if (errno != EINTR)
            return std::nullopt;
    }
    content.truncated = have > kMaxTextFileBytes;
    bytes.resize(std::min(have, kMaxTextFileBytes));
    return content;
}

std::string InCurrentDirectory(const std::string& name)
{
    std::error_code error;
    const std::filesystem::path dir = std::filesystem::current_path(error);
    return error ? name : (dir / name).string();
}
