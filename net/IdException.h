// Exception tree of the network layers. Each class adds only its type, except
// EIdSocketError, which carries the platform error code.
#pragma once

#include "rtl/Exception.h"

#include <cstdint>
#include <string>

class EIdException : public Exception {
public:
    using Exception::Exception;
};

class EIdStackError : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdStackInitializationFailed : public EIdStackError {
public:
    using EIdStackError::EIdStackError;
};
class EIdStackSetSizeExceeded : public EIdStackError {
public:
    using EIdStackError::EIdStackError;
};
class EIdStackCanNotLoadWinsock : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdInvalidSocket : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdInvalidServiceName : public EIdException {
public:
    using EIdException::EIdException;
};

class EIdSocketError : public EIdException {
public:
    EIdSocketError(int32_t errorCode, std::string message)
        : EIdException(std::move(message)), errorCode_(errorCode)
    {}
    int32_t ErrorCode() const noexcept { return errorCode_; }

private:
    int32_t errorCode_;
};

class EIdSilentException : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdConnClosedGracefully : public EIdSilentException {
public:
    using EIdSilentException::EIdSilentException;
};

class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdPackageSizeTooBig : public EIdSocketHandleError {
public:
    using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdNotAllBytesSent : public EIdSocketHandleError {
public:
    using EIdSocketHandleError::EIdSocketHandleError;
};

class EIdUDPException : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdUDPReceiveErrorZeroBytes : public EIdUDPException {
public:
    using EIdUDPException::EIdUDPException;
};
