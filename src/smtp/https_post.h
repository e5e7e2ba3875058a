// One HTTPS POST with libcurl: the thin layer under the OAuth token client.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "util/error.h"

namespace tessel::smtp {

// kMaxAnswerBytes - a longer answer is not a token answer; reading stops there.
inline constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

// HttpsRequest - where to post and what: fields are sent form-encoded (application/x-www-form-urlencoded).
struct HttpsRequest {
    std::string Url;
    std::vector<std::pair<std::string, std::string>> Fields;
    std::string CaPath;  // PEM file or directory of trusted certificates; empty: the system store
    std::chrono::milliseconds ConnectTimeout{30000};
    std::chrono::milliseconds Timeout{60000};  // the whole request
};

struct HttpsAnswer {
    long Status = 0;
    std::string Body;
};

// HttpsError - no answer: the address is not https://, or the connection, the certificate check,
// the time-out or the transfer failed. The text is libcurl's.
class HttpsError : public tessel::Error {
public:
    using tessel::Error::Error;
};

// IsHttpsUrl - the address starts with "https://" (letter case ignored).
bool IsHttpsUrl(const std::string& url);

// HttpsPost - posts the fields and returns the answer, whatever its status. The peer's certificate
// and name are always checked; redirects are not followed; proxies come from the environment as
// libcurl reads them. A stop request (StoppableWaits) ends the request with WaitStopped. Throws
// HttpsError, WaitStopped.
HttpsAnswer HttpsPost(const HttpsRequest& request);

}  // namespace tessel::smtp
