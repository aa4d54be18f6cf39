// The reliable policy's I/O: one upload of a regular file over a plain UDP socket. A window
// goes out in a few segmented sends (or one sendmmsg), a lone block in one sendto;
// acknowledgements are awaited until the state machine's deadline, and the file is read in
// large pieces into a buffer that holds only the blocks not yet acknowledged and the next
// window, so memory stays flat whatever the file's size. The rules, the retransmission timer
// among them, are ReliableUpload's; the window's client keeps its own loop over the socket
// layer (TIdTrivialFTP).
#pragma once

#include "tftp/ReliableUpload.h"
#include "tftp/TransferStats.h"
#include "posix/PacketTrace.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tftp {

struct SenderOptions {
    std::string host;
    uint16_t port = 69;
    std::string mode = "octet";
    // The longest wait of one try: the retransmission timer's ceiling. The timer starts from
    // the round trips it measures and doubles on each time-out up to this; policy.tries waits
    // of this whole length in a row without progress end the upload with "Timeout".
    int32_t timeoutMs = DefaultTimeoutMs;
    // The block size, window and tries asked for: the protocol's own unless the caller says
    // (the tools pass theirs, upgrade/UpgradePolicy.h).
    UploadPolicy policy;
    // A window's blocks in few sends the kernel cuts into datagrams (Linux 4.18 on); off, or
    // where the kernel refuses it, a message per block.
    bool segmentation = true;
    // Sees every datagram the upload sends and receives (a packet trace): each block of a
    // segmented send on its own, after the send. Empty: no cost.
    posix::DatagramObserver observer;
    // The most bits per second the upload may send (datagrams with their IP and UDP headers),
    // asked before each send so that it may change meanwhile; 0 or unset: no cap. Sends are
    // held back (TokenBucket) and the timer counts from when they went.
    std::function<uint64_t()> maxRateBitsPerSecond;
};

// Called with the bytes acknowledged so far, each time the count grows.
using SenderProgress = std::function<void(int64_t bytes)>;

// Sends the size bytes of the file open at fd (from offset 0) under remoteName. Raises the
// upload's failures as their exception classes (RaiseUploadFailure), socket and file errors
// as Exception naming the call; report holds what was achieved either way, from the
// protocol's own block size and window of one until an option acknowledgement grants others.
void SendFile(int fd, int64_t size, const std::string& remoteName, const SenderOptions& options,
              TransferStats& report, const SenderProgress& progress = {});

} // namespace tftp
