// Byte streams with a size and a position, read in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class TStream {
public:
    virtual ~TStream() = default;
    virtual int64_t Size() const = 0;
    virtual int64_t Position() const = 0;
    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual size_t Read(void* buffer, size_t count) = 0;
    // Reads exactly count bytes or raises EReadError "Stream read error".
    void ReadBuffer(void* buffer, size_t count);
};

// A local file opened for reading. Raises EFOpenError "Cannot open file <path>" when it
// cannot be opened, or when another program holds it locked for writing: a shared advisory
// lock keeps cooperating writers out while it is open (Linux has no share modes). Reads ahead in large chunks so
// that a transfer in small blocks costs one system call per chunk, not per block; Position() is the bytes handed
// out.
class TFileStream : public TStream {
public:
    explicit TFileStream(const std::string& path);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Size() const override;
    int64_t Position() const override { return position_; }
    size_t Read(void* buffer, size_t count) override;

private:
    size_t ReadFile(void* buffer, size_t count);

    static constexpr size_t ChunkSize = 64 * 1024;
    int fd_ = -1;
    int64_t position_ = 0;
    std::unique_ptr<unsigned char[]> buffer_;
    size_t buffered_ = 0; // bytes of buffer_ not yet handed out, starting at offset_
    size_t offset_ = 0;
};

// A stream over bytes held in memory (tests, small payloads).
class TMemoryStream : public TStream {
public:
    explicit TMemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}
    int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
    int64_t Position() const override { return position_; }
    size_t Read(void* buffer, size_t count) override;
    void SetPosition(int64_t position) { position_ = position; }

private:
    std::string bytes_;
    int64_t position_ = 0;
};

namespace rtl {

// What a non-blocking flock for reading came to, by its result and errno: taken; refused,
// since another program holds the file locked; or impossible on this file system (NFS
// without its lock service, some FUSE and network file systems), where the file is read
// without a lock rather than refused.
enum class ReadLock { Taken, Refused, Unsupported };
ReadLock ReadLockOutcome(int flockResult, int error);

// Takes a shared lock on fd for as long as it is open; false only when another program
// holds the file locked.
bool LockForReading(int fd);

// Takes an exclusive lock on fd for as long as it is open, as a share-denying open does;
// false only when another program holds the file locked. NFS grants an exclusive lock only
// on a descriptor open for writing (EBADF): there a shared lock keeps writers out at least.
// lock: flock, or a stand-in for tests.
bool LockExclusively(int fd, int (*lock)(int, int) = nullptr);

} // namespace rtl
