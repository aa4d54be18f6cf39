#include "IdTFTPException.h"

void RaiseTFTPError(uint16_t code, const std::string& message)
{
    switch (code) {
    case 1: throw EIdTFTPFileNotFound(message);
    case 2: throw EIdTFTPAccessViolation(message);
    case 3: throw EIdTFTPAllocationExceeded(message);
    case 4: throw EIdTFTPIllegalOperation(message);
    case 5: throw EIdTFTPUnknownTransferID(message);
    case 6: throw EIdTFTPFileAlreadyExists(message);
    case 7: throw EIdTFTPNoSuchUser(message);
    case 8: throw EIdTFTPOptionNegotiationFailed(message);
    default: throw EIdTFTPException(message);
    }
}
