// The firmware image of a fleet upgrade: checked once before any device is touched, copied
// into sealed memory and hashed there, and read by every job from that copy: what was
// hashed is what is sent, whatever happens to the file meanwhile.
#pragma once

#include "cli/ImageSignature.h"
#include "posix/Fd.h"
#include "rtl/Stream.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace fleet {

class FirmwareImage {
public:
    // Opens and checks path: it exists, is a regular readable file and is not empty.
    // Throws std::runtime_error with the reason. A shared lock keeps cooperating writers
    // out while the upgrade runs; readers (other upgrades) are welcome. With prehash, the
    // BLAKE2b-512 a signature is checked against is taken in the same read.
    explicit FirmwareImage(const std::string& path, bool prehash = false);
    FirmwareImage(const FirmwareImage&) = delete;
    FirmwareImage& operator=(const FirmwareImage&) = delete;

    const std::string& Path() const { return path_; }
    uint64_t Size() const { return size_; }
    // Lower-case hex SHA-256 of the copy.
    const std::string& Sha256() const { return sha256_; }
    // BLAKE2b-512 of the copy, when asked for.
    const std::optional<ImageHash>& Blake2b() const { return blake2b_; }
    // The sealed copy, for reads at an offset (pread) only.
    int Descriptor() const { return fd_.Get(); }
    // Whether path names the image's file (under any name).
    bool IsFile(const std::string& path) const;

    // A stream over the whole image for one transfer. Reads with pread, so streams opened in
    // several processes (after fork) never move each other's position.
    std::unique_ptr<TStream> OpenStream() const;

private:
    void CopyAndSeal(uint64_t expected, bool prehash);

    std::string path_;
    posix::Fd source_; // the file, locked while the fleet runs
    posix::Fd fd_;     // the sealed copy
    uint64_t size_ = 0;
    std::string sha256_;
    std::optional<ImageHash> blake2b_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

} // namespace fleet
