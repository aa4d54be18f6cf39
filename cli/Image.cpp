#include "Image.h"

#include "Exception.h"

#include <QCryptographicHash>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

class ImageStream : public TStream {
public:
    ImageStream(int fd, int64_t size) : fd_(fd), size_(size), buffer_(ChunkSize) {}

    int64_t Size() const override { return size_; }
    int64_t Position() const override { return position_; }

    size_t Read(void* out, size_t count) override
    {
        auto* target = static_cast<unsigned char*>(out);
        size_t done = 0;
        while (done < count && position_ < size_) {
            if (offset_ == buffered_ && !Fill()) break;
            const size_t n = std::min(count - done, buffered_ - offset_);
            std::memcpy(target + done, buffer_.data() + offset_, n);
            offset_ += n;
            done += n;
            position_ += static_cast<int64_t>(n);
        }
        return done;
    }

private:
    static constexpr size_t ChunkSize = 64 * 1024;

    bool Fill()
    {
        for (;;) {
            const ssize_t n = ::pread(fd_, buffer_.data(), buffer_.size(), position_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false; // the caller's ReadBuffer reports the short read
            buffered_ = static_cast<size_t>(n);
            offset_ = 0;
            return true;
        }
    }

    int fd_;
    int64_t size_;
    int64_t position_ = 0;
    std::vector<unsigned char> buffer_;
    size_t buffered_ = 0;
    size_t offset_ = 0;
};

} // namespace

FirmwareImage::FirmwareImage(const std::string& path) : path_(path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("image " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw std::runtime_error("image " + path + ": not a regular file");
    fd_.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_) throw std::runtime_error("image " + path + ": cannot be read: " + std::strerror(errno));
    if (::fstat(fd_.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("image " + path + ": changed while it was opened");
    if (::flock(fd_.Get(), LOCK_SH | LOCK_NB) != 0)
        throw std::runtime_error("image " + path + ": another program holds it locked");
    size_ = static_cast<uint64_t>(st.st_size);
    if (size_ == 0) throw std::runtime_error("image " + path + ": the file is empty");
}

std::string FirmwareImage::Sha256() const
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(256 * 1024);
    uint64_t offset = 0;
    while (offset < size_) {
        const ssize_t n = ::pread(fd_.Get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("image " + path_ + ": read error: " + std::strerror(errno));
        if (n == 0) throw std::runtime_error("image " + path_ + ": shorter than its size; was it changed?");
        hash.addData(QByteArrayView(buffer.data(), n));
        offset += static_cast<uint64_t>(n);
    }
    return hash.result().toHex().toStdString();
}

std::unique_ptr<TStream> FirmwareImage::OpenStream() const
{
    return std::make_unique<ImageStream>(fd_.Get(), static_cast<int64_t>(size_));
}
