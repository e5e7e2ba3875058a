#include "smtp/https_post.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include <sys/stat.h>

#include <curl/curl.h>

#include "smtp/socket.h"
#include "util/ca_path.h"
#include "util/ascii.h"

namespace tessel::smtp {
namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct TextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

void InitialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw HttpsError("libcurl could not be initialised");
        }
    });
}

std::string Escape(CURL* handle, const std::string& text) {
    std::unique_ptr<char, TextDeleter> escaped(
        curl_easy_escape(handle, text.data(), static_cast<int>(text.size())));
    if (!escaped) {
        throw HttpsError("A form field could not be encoded");
    }
    return escaped.get();
}

std::string FormBody(CURL* handle, const HttpsRequest& request) {
    std::string body;
    for (const auto& [name, value] : request.Fields) {
        if (!body.empty()) body += '&';
        body += Escape(handle, name) + '=' + Escape(handle, value);
    }
    return body;
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Collect - libcurl's write callback: appends up to kMaxAnswerBytes, then makes the transfer fail.
std::size_t Collect(char* data, std::size_t size, std::size_t count, void* target) {
    auto* body = static_cast<std::string*>(target);
    std::size_t bytes = size * count;
    if (body->size() + bytes > kMaxAnswerBytes) {
        return 0;
    }
    body->append(data, bytes);
    return bytes;
}

// AbortOnStop - libcurl's progress callback (called about once a second even while it waits): a
// stop request ends the request.
int AbortOnStop(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return StopPending() ? 1 : 0;
}

void Check(CURLcode code, const char* what) {
    if (code != CURLE_OK) {
        throw HttpsError(std::string("libcurl refused the option ") + what + ": " + curl_easy_strerror(code));
    }
}

}  // namespace

bool IsHttpsUrl(const std::string& url) {
    constexpr std::string_view kScheme = "https://";
    return url.size() > kScheme.size() && StartsWithNoCase(url, kScheme);
}

HttpsAnswer HttpsPost(const HttpsRequest& request) {
    if (!IsHttpsUrl(request.Url)) {
        throw HttpsError("only https:// addresses are used");
    }
    InitialiseCurlOnce();
    std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
    if (!handle) {
        throw HttpsError("libcurl could not start a request");
    }
    CURL* h = handle.get();
    std::string body = FormBody(h, request);
    std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, "Accept: application/json"));
    HttpsAnswer answer;
    char error[CURL_ERROR_SIZE] = {};

    Check(curl_easy_setopt(h, CURLOPT_URL, request.Url.c_str()), "URL");
    Check(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https"), "PROTOCOLS_STR");
    Check(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L), "FOLLOWLOCATION");
    Check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L), "SSL_VERIFYPEER");
    Check(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L), "SSL_VERIFYHOST");
    if (!request.CaPath.empty()) {
        if (std::string problem = CaPathProblem(request.CaPath); !problem.empty()) {
            throw HttpsError("the CA certificates cannot be read: " + problem);
        }
        // Only the configured certificates count, not the system store beside them.
        bool directory = IsDirectory(request.CaPath);
        Check(curl_easy_setopt(h, CURLOPT_CAINFO, directory ? nullptr : request.CaPath.c_str()), "CAINFO");
        Check(curl_easy_setopt(h, CURLOPT_CAPATH, directory ? request.CaPath.c_str() : nullptr), "CAPATH");
    }
    // The service has several threads: no signals for time-outs.
    Check(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L), "NOSIGNAL");
    Check(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.ConnectTimeout.count())),
          "CONNECTTIMEOUT_MS");
    Check(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.Timeout.count())), "TIMEOUT_MS");
    Check(curl_easy_setopt(h, CURLOPT_USERAGENT, "tesselcomsvc"), "USERAGENT");
    Check(curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()), "HTTPHEADER");
    Check(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size())), "POSTFIELDSIZE");
    Check(curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str()), "POSTFIELDS");
    Check(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect), "WRITEFUNCTION");
    Check(curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer.Body), "WRITEDATA");
    Check(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error), "ERRORBUFFER");
    Check(curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, AbortOnStop), "XFERINFOFUNCTION");
    Check(curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L), "NOPROGRESS");

    CURLcode code = curl_easy_perform(h);
    if (code == CURLE_ABORTED_BY_CALLBACK) {
        throw WaitStopped();
    }
    if (code == CURLE_WRITE_ERROR) {
        throw HttpsError("the answer is longer than " + std::to_string(kMaxAnswerBytes) + " bytes");
    }
    if (code != CURLE_OK) {
        throw HttpsError(error[0] != '\0' ? error : curl_easy_strerror(code));
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &answer.Status);
    return answer;
}

}  // namespace tessel::smtp
