#include "rtl/Stream.h"

#include "rtl/Exception.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

void TStream::ReadBuffer(void* buffer, size_t count)
{
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < count) {
        const size_t n = Read(out + done, count - done);
        if (n == 0) throw EReadError("Stream read error");
        done += n;
    }
}

TFileStream::TFileStream(const std::string& path)
{
    // Without waiting: opening a pipe would block until a writer comes, and only a regular
    // file has an end that a transfer can reach.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fcntl(fd, F_SETFL, O_RDONLY) == 0;
    // Refuse a file another cooperating process holds, and keep others out while it is
    // sent, as a share-denying open would.
    if (ok && !rtl::LockExclusively(fd)) ok = false;
    if (!ok) {
        if (fd >= 0) ::close(fd);
        throw EFOpenError("Cannot open file " + path);
    }
    fd_ = fd;
}

TFileStream::~TFileStream()
{
    if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Size() const
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return 0;
    return st.st_size;
}

size_t TFileStream::Read(void* buffer, size_t count)
{
    if (buffered_ == 0 && count < ChunkSize) {
        if (!buffer_) buffer_ = std::make_unique<unsigned char[]>(ChunkSize);
        offset_ = 0;
        buffered_ = ReadFile(buffer_.get(), ChunkSize);
    }
    if (buffered_ > 0) {
        const size_t n = std::min(count, buffered_);
        std::memcpy(buffer, buffer_.get() + offset_, n);
        offset_ += n;
        buffered_ -= n;
        position_ += static_cast<int64_t>(n);
        return n;
    }
    // Large reads go straight into the caller's buffer.
    const size_t n = ReadFile(buffer, count);
    position_ += static_cast<int64_t>(n);
    return n;
}

size_t TFileStream::ReadFile(void* buffer, size_t count)
{
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, count);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) throw EReadError("Stream read error");
    }
}

size_t TMemoryStream::Read(void* buffer, size_t count)
{
    if (position_ >= Size()) return 0;
    const size_t n = std::min(count, static_cast<size_t>(Size() - position_));
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += static_cast<int64_t>(n);
    return n;
}

namespace rtl {

ReadLock ReadLockOutcome(int flockResult, int error)
{
    if (flockResult == 0) return ReadLock::Taken;
    switch (error) {
    case ENOLCK:     // no lock service (NFS without lockd)
    case EOPNOTSUPP: // the file system has no locks (ENOTSUP is the same number here)
    case ENOSYS:
    case EINVAL: // the file's kind takes no lock
    case EBADF:  // the file system wants another access mode for it
        return ReadLock::Unsupported;
    default: // EWOULDBLOCK: held by another; anything else is not known to be safe
        return ReadLock::Refused;
    }
}

bool LockForReading(int fd)
{
    const int result = ::flock(fd, LOCK_SH | LOCK_NB);
    return ReadLockOutcome(result, errno) != ReadLock::Refused;
}

bool LockExclusively(int fd, int (*lock)(int, int))
{
    if (lock == nullptr) lock = ::flock;
    int result = lock(fd, LOCK_EX | LOCK_NB);
    if (result != 0 && errno == EBADF) result = lock(fd, LOCK_SH | LOCK_NB);
    return ReadLockOutcome(result, errno) != ReadLock::Refused;
}

} // namespace rtl
