// Runtime base exceptions shared by every layer: one message text each.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Text that is not an integer ("'%s' is not a valid integer value").
class EConvertError : public Exception {
    using Exception::Exception;
};

// A file that cannot be opened ("Cannot open file %s").
class EFOpenError : public Exception {
    using Exception::Exception;
};

// A stream that yields fewer bytes than asked for ("Stream read error").
class EReadError : public Exception {
    using Exception::Exception;
};

// Floating-point failure in progress arithmetic ("Invalid floating point operation").
class EInvalidOp : public Exception {
    using Exception::Exception;
};

namespace rtl {

// The message as the top-level error display shows it: a full stop is appended when the
// last character sorts after '.' in byte order, so "...!", "...)" and "..." get none.
std::string WithFullStop(const std::string& message);

// printf-style formatting into a string sized to fit (measured first, so nothing is cut).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

} // namespace rtl
