// The reliable policy's I/O: one upload of a regular file over a plain UDP socket. A window
// goes out in a few segmented sends (or one sendmmsg), a lone block in one sendto;
// acknowledgements are read with the kernel's receive time-out, and the file is read in large
// pieces into a buffer that holds only the blocks not yet acknowledged and the next window, so
// memory stays flat whatever the file's size. The rules themselves are UploadState's; the
// window's client keeps its own loop over the socket layer (TIdTrivialFTP).
#pragma once

#include "tftp/IdTFTPUpload.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tftp {

struct SenderOptions {
    std::string host;
    uint16_t port = 69;
    std::string mode = "octet";
    int32_t timeoutMs = 4000; // per try
    UploadPolicy policy{Policy::Reliable, 1024, 8, 5, false};
    // A window's blocks in few sends the kernel cuts into datagrams (Linux 4.18 on); off, or
    // where the kernel refuses it, a message per block.
    bool segmentation = true;
};

// What an upload achieved, filled in as it goes (also when it fails).
struct SenderReport {
    int32_t blockSize = DefaultBlockSize;
    int32_t windowSize = 1; // granted
    int64_t retransmissions = 0;
    int64_t acknowledgedBytes = 0;
    bool acknowledged = false;  // the last block's ACK came
    bool lastBlockSent = false; // the last block went out at least once
};

// Called with the bytes acknowledged so far, each time the count grows.
using SenderProgress = std::function<void(int64_t bytes)>;

// Sends the size bytes of the file open at fd (from offset 0) under remoteName. Raises the
// upload's failures as their exception classes (RaiseUploadFailure), socket and file errors
// as Exception naming the call; report holds what was achieved either way.
void SendFile(int fd, int64_t size, const std::string& remoteName, const SenderOptions& options,
              SenderReport& report, const SenderProgress& progress = {});

} // namespace tftp
