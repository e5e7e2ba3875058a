// Google service accounts: the JWT bearer grant (RFC 7523) signed with the account's key file.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "smtp/smtp_account.h"

namespace tessel::smtp {

// kServiceAccountScope - the scope of SMTP access to Gmail, asked for unless email.oauth.scope says otherwise.
inline constexpr const char* kServiceAccountScope = "https://mail.google.com/";

// kAssertionLifetime - how long the signed assertion is valid (the longest Google accepts).
inline constexpr std::chrono::seconds kAssertionLifetime{3600};

// TokenGrant - where a token request goes and the form fields it posts.
struct TokenGrant {
    std::string Url;
    std::vector<std::pair<std::string, std::string>> Fields;
};

// ServiceAccountGrant - the JWT bearer grant for client.KeyFile: read from a service-account JSON
// key file that only its owner may read, an RS256-signed assertion with iss = the key's
// client_email, sub = client.Subject, aud = the key's token_uri, the scope, iat = now and exp one
// hour later, posted to token_uri. Throws OAuthError naming the key file when it cannot be opened,
// others may read it, or it is not a usable service-account key; nothing is sent then.
TokenGrant ServiceAccountGrant(const OAuthClient& client, std::chrono::system_clock::time_point now);

}  // namespace tessel::smtp
