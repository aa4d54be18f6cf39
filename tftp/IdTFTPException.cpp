#include "tftp/IdTFTPException.h"

void RaiseTFTPError(uint16_t code, const std::string& message)
{
    switch (code) {
    case 1: throw EIdTFTPFileNotFound(message, code);
    case 2: throw EIdTFTPAccessViolation(message, code);
    case 3: throw EIdTFTPAllocationExceeded(message, code);
    case 4: throw EIdTFTPIllegalOperation(message, code);
    case 5: throw EIdTFTPUnknownTransferID(message, code);
    case 6: throw EIdTFTPFileAlreadyExists(message, code);
    case 7: throw EIdTFTPNoSuchUser(message, code);
    case 8: throw EIdTFTPOptionNegotiationFailed(message, code);
    default: throw EIdTFTPException(message, code);
    }
}

namespace tftp {

Failure CaughtFailure()
{
    try {
        throw;
    } catch (const EIdTFTPException& e) {
        return {e.Kind(), e.ServerCode(), e.Message()};
    } catch (const Exception& e) {
        return {FailureKind::Local, -1, e.Message()};
    } catch (const std::exception& e) {
        return {FailureKind::Local, -1, e.what()};
    }
}

} // namespace tftp
