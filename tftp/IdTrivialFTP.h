// TFTP client that writes one local file to a server (write requests only), always
// asking for the "blksize" option.
#pragma once

#include "tftp/IdTFTPException.h"
#include "tftp/IdTFTPPacket.h"
#include "net/IdUDPClient.h"
#include "rtl/Stream.h"

#include <cstdint>
#include <string>
#include <vector>

enum TIdTFTPMode : int32_t { tfNetAscii = 0, tfOctet = 1 };

class TIdTrivialFTP : public TIdUDPClient {
public:
    TIdTrivialFTP();

    TIdTFTPMode TransferMode() const { return transferMode_; }
    void SetTransferMode(TIdTFTPMode value) { transferMode_ = value; }
    int32_t RequestedBlockSize() const { return requestedBlockSize_; }
    void SetRequestedBlockSize(int32_t value) { requestedBlockSize_ = value; }
    // Sender of the last datagram received; empty and 0 after a receive that timed out.
    const std::string& ReplyHost() const { return replyHost_; }
    int32_t ReplyPort() const { return replyPort_; }

    // Writes the file under remoteName. The file is streamed, never held whole.
    void Upload(const std::string& localPath, const std::string& remoteName);
    // Writes the bytes from the source's position to its end; the position is left
    // behind the last byte sent. Blocks until the transfer has ended.
    void UploadStream(TStream& source, const std::string& remoteName);

    std::string ModeName() const;
    // The last upload ended with the last block's ACK, not with silence after it.
    bool LastAcknowledged() const { return lastAcknowledged_; }

private:
    void Transfer(TStream& source, const std::string& remoteName);
    void FinishTransfer();

    TIdTFTPMode transferMode_ = tfOctet;
    int32_t requestedBlockSize_ = 1500;
    std::string replyHost_;
    int32_t replyPort_ = 0;
    bool lastAcknowledged_ = false;
    // Kept between uploads so that a run of uploads allocates nothing per block.
    std::vector<uint8_t> receiveBuffer_;
    std::vector<uint8_t> dataPacket_;
};
