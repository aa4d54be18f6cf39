#include "cli/Image.h"

#include "rtl/Exception.h"
#include "rtl/Stream.h"

#include <QCryptographicHash>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace fleet {

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

// BLAKE2b-512 on a thread of its own, one chunk behind the reader: the image is still read
// once, and the second hash adds little to the time before the first device is contacted.
class HashBeside {
public:
    HashBeside() : thread_([this] { Run(); }) {}
    ~HashBeside()
    {
        Wait();
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    HashBeside(const HashBeside&) = delete;
    HashBeside& operator=(const HashBeside&) = delete;

    // Hands over a chunk once the one before is hashed: the caller keeps it unchanged until
    // the next Add or Finish, and may then refill the buffer of the one before.
    void Add(const uint8_t* data, size_t size)
    {
        Wait();
        {
            std::lock_guard lock(mutex_);
            data_ = data;
            size_ = size;
        }
        changed_.notify_all();
    }

    ImageHash Finish()
    {
        Wait();
        return hasher_.Finish();
    }

private:
    void Wait()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return data_ == nullptr; });
    }

    void Run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return data_ != nullptr || ending_; });
            if (data_ == nullptr) return;
            const auto* data = data_;
            const size_t size = size_;
            lock.unlock();
            hasher_.Add({data, size});
            lock.lock();
            data_ = nullptr;
            changed_.notify_all();
        }
    }

    ImageHasher hasher_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool ending_ = false;
    std::thread thread_; // last: starts once the rest is made
};

} // namespace

FirmwareImage::FirmwareImage(const std::string& path, bool prehash) : path_(path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("image " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw std::runtime_error("image " + path + ": not a regular file");
    source_.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source_) throw std::runtime_error("image " + path + ": cannot be read: " + std::strerror(errno));
    if (::fstat(source_.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("image " + path + ": changed while it was opened");
    if (!rtl::LockForReading(source_.Get()))
        throw std::runtime_error("image " + path + ": another program holds it locked");
    device_ = st.st_dev;
    inode_ = st.st_ino;
    if (st.st_size == 0) throw std::runtime_error("image " + path + ": the file is empty");
    CopyAndSeal(static_cast<uint64_t>(st.st_size), prehash);
}

void FirmwareImage::CopyAndSeal(uint64_t expected, bool prehash)
{
    // The file itself may be changed in place while the fleet runs (the lock binds only
    // programs that ask for it); every transfer reads this private copy instead, whose bytes
    // the kernel keeps from changing once sealed. The hash is taken of the copy's bytes.
    fd_.Reset(::memfd_create("ftpupg-image", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd_) throw std::runtime_error("image " + path_ + ": no memory for its copy: " + std::strerror(errno));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // Two buffers: the signature's hash of one runs beside the copy of the other.
    std::vector<char> buffers[2] = {std::vector<char>(256 * 1024), std::vector<char>(256 * 1024)};
    std::optional<HashBeside> prehashed;
    if (prehash) prehashed.emplace();
    uint64_t copied = 0;
    for (size_t chunk = 0;; ++chunk) {
        std::vector<char>& buffer = buffers[chunk % 2];
        const ssize_t n = ::read(source_.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("image " + path_ + ": read error: " + std::strerror(errno));
        if (n == 0) break;
        if (prehashed) prehashed->Add(reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(n));
        hash.addData(QByteArrayView(buffer.data(), n));
        if (!posix::WriteAll(fd_.Get(), buffer.data(), static_cast<size_t>(n)))
            throw std::runtime_error("image " + path_ + ": no memory for its copy: " + std::strerror(errno));
        copied += static_cast<uint64_t>(n);
    }
    if (copied != expected)
        throw std::runtime_error("image " + path_ + ": its size changed while it was read; nothing was sent");
    if (::fcntl(fd_.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        throw std::runtime_error("image " + path_ + ": its copy cannot be sealed: " + std::strerror(errno));
    size_ = copied;
    sha256_ = hash.result().toHex().toStdString();
    if (prehashed) blake2b_ = prehashed->Finish();
}

bool FirmwareImage::IsFile(const std::string& path) const
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
}

std::unique_ptr<TStream> FirmwareImage::OpenStream() const
{
    return std::make_unique<ImageStream>(fd_.Get(), static_cast<int64_t>(size_));
}

} // namespace fleet
