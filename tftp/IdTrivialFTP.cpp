#include "tftp/IdTrivialFTP.h"

#include "tftp/IdTFTPUpload.h"

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
    lastAcknowledged_ = false;
    UploadState state(source.Size() - source.Position());
    int32_t blockSize = state.BlockSize();
    SetBufferSize(blockSize + HeaderSize);
    SendToHost(MakeWriteRequest(remoteName, ModeName(), requestedBlockSize_));

    size_t packetLength = 0;
    for (;;) {
        const int32_t bufferSize = std::max<int32_t>(BufferSize(), 0);
        if (receiveBuffer_.size() < static_cast<size_t>(bufferSize)) receiveBuffer_.resize(bufferSize);
        const int32_t received =
            ReceiveDatagram(receiveBuffer_.data(), bufferSize, UseReceiveTimeout, replyHost_, replyPort_);
        const UploadStep step =
            received == 0 ? state.OnTimeout()
                          : state.OnDatagram(Bytes{receiveBuffer_.data(), static_cast<size_t>(received)});
        if (state.BlockSize() != blockSize) {
            blockSize = state.BlockSize();
            SetBufferSize(blockSize + HeaderSize);
        }
        switch (step.kind) {
        case UploadStep::Done: lastAcknowledged_ = state.Acknowledged(); return;
        case UploadStep::Fail: RaiseUploadFailure(step.failure);
        case UploadStep::SendNew: {
            const size_t length = HeaderSize + static_cast<size_t>(step.size);
            if (dataPacket_.size() < length) dataPacket_.resize(length);
            PutDataHeader(dataPacket_.data(), step.block);
            source.ReadBuffer(dataPacket_.data() + HeaderSize, static_cast<size_t>(step.size));
            packetLength = length;
            WorkAdd(wmWrite, step.size);
            break;
        }
        default: break; // Resend: the classic policy answers nothing else
        }
        SendDatagram(replyHost_, replyPort_, dataPacket_.data(), static_cast<int32_t>(packetLength));
    }
}
