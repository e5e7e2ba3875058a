// OAuth 2.0 access tokens for XOAUTH2: fetched from the token endpoint, kept until shortly before
// they expire.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "smtp/smtp_account.h"
#include "util/error.h"

namespace tessel::smtp {

// TokenTimeouts - bounds of one request to the token endpoint: the connect, and the whole request.
struct TokenTimeouts {
    std::chrono::milliseconds Connect{30000};
    std::chrono::milliseconds Request{60000};
};

// OAuthError - the token endpoint could not be used or gave no token. The text names the endpoint
// and, when it answered with one, its error and error_description; never the client secret, the
// refresh token or an access token.
class OAuthError : public tessel::Error {
public:
    using tessel::Error::Error;
};

// AccessToken - a bearer token and its lifetime as the endpoint stated it (none when it did not).
struct AccessToken {
    std::string Value;
    std::optional<std::chrono::seconds> ExpiresIn;
};

// FetchAccessToken - one HTTPS POST (form-encoded) to client.TokenUrl: the refresh-token grant when
// client.RefreshToken is set, else the client-credentials grant; with client.KeyFile set, the JWT
// bearer grant of that service-account key to the key's token_uri instead (ServiceAccountGrant). The endpoint's certificate is
// always checked (against client.CaPath when set, else the system store); redirects are not
// followed. Throws OAuthError, and WaitStopped when a stop request ends the request.
AccessToken FetchAccessToken(const OAuthClient& client, const TokenTimeouts& timeouts);

// TokenCache - keeps the last token for one client in memory until kTokenMargin before it expires.
// A token without a lifetime, or one that expires within the margin, serves only the call that
// fetched it.
class TokenCache {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Fetcher = std::function<AccessToken(const OAuthClient&, const TokenTimeouts&)>;

    static constexpr std::chrono::seconds kTokenMargin{60};

    explicit TokenCache(Fetcher fetch = FetchAccessToken, Clock clock = std::chrono::steady_clock::now);

    // Token - the kept token when it belongs to client and is still fresh, else a new one from the
    // endpoint. Throws OAuthError.
    std::string Token(const OAuthClient& client, const TokenTimeouts& timeouts);
    // Drop - forgets token if it is the kept one (the mail server refused it).
    void Drop(const std::string& token);
    // Clear - forgets whatever is kept.
    void Clear();

private:
    struct Kept {
        OAuthClient Client;
        std::string Token;
        std::chrono::steady_clock::time_point Until;
    };

    Fetcher fetch_;
    Clock clock_;
    std::mutex lock_;
    std::optional<Kept> kept_;
};

// ProcessTokenCache - the one cache of the process: a token outlives sessions and cycles.
TokenCache& ProcessTokenCache();

}  // namespace tessel::smtp
