#include "tftp/UploadStep.h"

#include "rtl/Exception.h"
#include "rtl/IntConv.h"
#include "tftp/IdTFTPException.h"

namespace tftp {

void RaiseUploadFailure(const UploadFailure& failure)
{
    switch (failure.kind) {
    case UploadFailure::Timeout: throw EIdTFTPException(failure.message, failure.kind);
    case UploadFailure::ServerError: RaiseTFTPError(failure.code, failure.message);
    case UploadFailure::BadBlockSize: throw EIdTFTPInvalidBlockSize(failure.message, failure.kind);
    case UploadFailure::BadWindowSize:
    case UploadFailure::BadOption: throw EIdTFTPOptionNegotiationFailed(failure.message, failure.kind);
    // The window's client raises what its conversion raises.
    case UploadFailure::NotANumber: throw EConvertError(failure.message);
    case UploadFailure::Local: break;
    }
    throw Exception(failure.message);
}

BlockSizeAnswer CheckBlockSize(std::string_view text)
{
    const auto size = rtl::TryStrToInt(text);
    if (!size)
        return {0, UploadFailure{UploadFailure::NotANumber, 0,
                                 "'" + std::string(text) + "' is not a valid integer value"}};
    if (*size <= 0 || *size > MaxDatagramBlockSize)
        return {0, UploadFailure{UploadFailure::BadBlockSize, 0,
                                 rtl::Format("Invalid block size %d from the server (allowed: 1 to %d)", *size,
                                             MaxDatagramBlockSize)}};
    return {*size, std::nullopt};
}

} // namespace tftp
