#include "util/error.h"

#include <cstring>

namespace tessel {

ConversionError::ConversionError(const std::string& text)
    : Error("'" + text + "' is not a valid integer value") {}

PlatformError::PlatformError(int errnoValue)
    : Error("System Error.  Code: " + std::to_string(errnoValue) + ".\r\n" + SystemText(errnoValue)),
      code_(errnoValue) {}

std::string SystemText(int errnoValue) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    std::string text = ::strerror_r(errnoValue, buffer, sizeof buffer);
    while (!text.empty()) {
        unsigned char last = static_cast<unsigned char>(text.back());
        if (last > ' ' && last != '.') break;
        text.pop_back();
    }
    return text;
}

}  // namespace tessel
