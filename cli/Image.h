// The firmware image of a fleet upgrade: checked once before any device is touched, then
// read by every job from the one descriptor that was checked.
#pragma once

#include "Fd.h"
#include "Stream.h"

#include <cstdint>
#include <memory>
#include <string>

class FirmwareImage {
public:
    // Opens and checks path: it exists, is a regular readable file and is not empty.
    // Throws std::runtime_error with the reason. A shared lock keeps cooperating writers
    // out while the upgrade runs; readers (other upgrades) are welcome.
    explicit FirmwareImage(const std::string& path);
    FirmwareImage(const FirmwareImage&) = delete;
    FirmwareImage& operator=(const FirmwareImage&) = delete;

    const std::string& Path() const { return path_; }
    uint64_t Size() const { return size_; }
    // Lower-case hex SHA-256 of the whole file, read once.
    std::string Sha256() const;
    // The checked descriptor, for reads at an offset (pread) only.
    int Descriptor() const { return fd_.Get(); }

    // A stream over the whole image for one transfer. Reads with pread, so streams opened in
    // several processes (after fork) never move each other's position.
    std::unique_ptr<TStream> OpenStream() const;

private:
    std::string path_;
    posix::Fd fd_;
    uint64_t size_ = 0;
};
