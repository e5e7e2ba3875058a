// Error types shared by every subsystem.
#pragma once

#include <stdexcept>
#include <string>

namespace tessel {

// Error - a failure carrying the text that the event log or the user receives.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ConversionError - a text that is not a valid integer ("'%s' is not a valid integer value").
class ConversionError : public Error {
public:
    explicit ConversionError(const std::string& text);
};

// PlatformError - a failed system call: "System Error.  Code: %d.\r\n%s".
class PlatformError : public Error {
public:
    explicit PlatformError(int errnoValue);
    int Code() const noexcept { return code_; }

private:
    int code_;
};

// SystemText - strerror of an errno value without trailing control bytes, blanks and full stops.
std::string SystemText(int errnoValue);

}  // namespace tessel
