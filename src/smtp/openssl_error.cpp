#include "smtp/openssl_error.h"

#include <openssl/err.h>

namespace tessel::smtp {
namespace {

// TakeFirstError - the first queued error code (0: none); the queue is emptied.
unsigned long TakeFirstError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    return code;
}

}  // namespace

std::string OpenSslErrorText(const char* fallback) {
    unsigned long code = TakeFirstError();
    if (code == 0) return fallback;
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string OpenSslErrorReason(const char* fallback) {
    unsigned long code = TakeFirstError();
    if (code == 0) return fallback;
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : fallback;
}

}  // namespace tessel::smtp
