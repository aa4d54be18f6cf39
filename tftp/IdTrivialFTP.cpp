#include "IdTrivialFTP.h"

#include "Exception.h"
#include "IntConv.h"

#include <algorithm>

TIdTrivialFTP::TIdTrivialFTP()
{
    SetPort(69);
    SetReceiveTimeout(4000);
}

std::string TIdTrivialFTP::ModeName() const
{
    return transferMode_ == tfNetAscii ? "netascii" : "octet";
}

void TIdTrivialFTP::Upload(const std::string& localPath, const std::string& remoteName)
{
    TFileStream file(localPath);
    UploadStream(file, remoteName);
}

void TIdTrivialFTP::UploadStream(TStream& source, const std::string& remoteName)
{
    WorkBegin(wmWrite, static_cast<int32_t>(source.Size() - source.Position()));
    try {
        Transfer(source, remoteName);
    } catch (...) {
        // A throwing OnWorkEnd handler replaces the passing exception and leaves the
        // socket open for the next upload to reuse and close.
        FinishTransfer();
        throw;
    }
    FinishTransfer();
}

void TIdTrivialFTP::FinishTransfer()
{
    WorkEnd(wmWrite);
    // Close only a socket that exists: opening one just to close it could fail and
    // replace the exception that ended the transfer.
    if (TIdSocketHandle* handle = SocketHandle()) handle->Close(true);
}

void TIdTrivialFTP::Transfer(TStream& source, const std::string& remoteName)
{
    using namespace tftp;

    // Bytes to send, taken once: asking the file's size for every block costs a call.
    int64_t left = std::max<int64_t>(source.Size() - source.Position(), 0);

    SetBufferSize(kDefaultBlockSize + kHeaderSize);
    SendToHost(MakeWriteRequest(remoteName, ModeName(), requestedBlockSize_));

    bool last = false;
    int32_t next = 1;
    int32_t built = 0;
    bool anyBuilt = false;
    size_t packetLength = 0;

    for (;;) {
        const int32_t bufferSize = std::max<int32_t>(BufferSize(), 0);
        if (receiveBuffer_.size() < static_cast<size_t>(bufferSize)) receiveBuffer_.resize(bufferSize);
        const int32_t received =
            ReceiveDatagram(receiveBuffer_.data(), bufferSize, UseReceiveTimeout, replyHost_, replyPort_);
        if (received == 0) {
            if (last) return;
            throw EIdTFTPException("Timeout");
        }
        const Bytes packet{receiveBuffer_.data(), static_cast<size_t>(received)};

        // ACK and ERROR datagrams too short for their fields count as unknown opcodes.
        switch (OpcodeOf(packet)) {
        case opACK:
            if (const auto block = AckBlockOf(packet)) {
                // After the last block only its own ACK ends the transfer. Any other ACK means
                // the last block was lost or is still on its way: ending here would report an
                // image the device never got, so the last block goes out again below.
                if (last) {
                    if (*block == static_cast<uint16_t>(built)) return;
                    break;
                }
                if (*block == 65535) {
                    next = 0;
                    // A repeated ACK 65535 after block 0 went out must not make a second,
                    // different block 0: that would skip data.
                    if (!anyBuilt || built == 65535) built = -1;
                } else {
                    next = *block + 1;
                }
            }
            break;
        case opERROR:
            if (ServerErrorOf(packet)) RaiseServerError(packet);
            break;
        case opOACK:
            ApplyOptionAck(packet);
            break;
        default:
            break;
        }

        if (built < next) {
            const int32_t capacity = BufferSize() - kHeaderSize;
            const int32_t n = static_cast<int32_t>(std::min<int64_t>(std::max(capacity, 0), left));
            const size_t length = static_cast<size_t>(kHeaderSize + n);
            if (dataPacket_.size() < length) dataPacket_.resize(length);
            PutDataHeader(dataPacket_.data(), static_cast<uint16_t>(next));
            source.ReadBuffer(dataPacket_.data() + kHeaderSize, static_cast<size_t>(n));
            left -= n;
            packetLength = length;
            anyBuilt = true;
            built = next;
            WorkAdd(wmWrite, n);
            last = n < capacity;
        }
        SendDatagram(replyHost_, replyPort_, dataPacket_.data(), static_cast<int32_t>(packetLength));
    }
}

void TIdTrivialFTP::ApplyOptionAck(tftp::Bytes packet)
{
    const auto text = tftp::BlockSizeTextOf(packet);
    if (!text) return;
    const int32_t blockSize = StrToInt(*text);
    // 0 or less leaves no room for data, so no short block would ever end the transfer;
    // above the maximum the blocks no longer fit in a datagram.
    if (blockSize <= 0 || blockSize > tftp::kMaxBlockSize)
        throw EIdTFTPInvalidBlockSize(
            Format("Invalid block size %d from the server (allowed: 1 to %d)", blockSize, tftp::kMaxBlockSize));
    SetBufferSize(blockSize + tftp::kHeaderSize);
}

void TIdTrivialFTP::RaiseServerError(tftp::Bytes packet)
{
    const auto error = tftp::ServerErrorOf(packet);
    if (!error) RaiseTFTPError(0, std::string());
    RaiseTFTPError(error->code, error->message);
}
