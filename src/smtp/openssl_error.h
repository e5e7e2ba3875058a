// OpenSSL's error queue as the text of a failure.
#pragma once

#include <string>

namespace tessel::smtp {

// OpenSslErrorText - the first error of this thread's OpenSSL queue, in the library's full form
// ("error:0A000086:SSL routines::certificate verify failed"), or fallback when the queue is empty.
// The queue is emptied either way. Never throws (but std::bad_alloc).
std::string OpenSslErrorText(const char* fallback);

// OpenSslErrorReason - the same error's reason alone ("certificate verify failed").
std::string OpenSslErrorReason(const char* fallback);

}  // namespace tessel::smtp
