#include "smtp/oauth_token.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

#include "smtp/https_post.h"
#include "smtp/service_account.h"
#include "util/ascii.h"
#include "util/record_text.h"

namespace tessel::smtp {
namespace {

using nlohmann::json;

// EndpointName - the address without its query, which the warning has no need of.
std::string EndpointName(const std::string& url) {
    return url.substr(0, url.find_first_of("?#"));
}

// Printable - a text from the endpoint as a record may show it: control bytes as \xHH, cut short.
std::string Printable(std::string_view text) {
    return PeerText(text);
}

// HexByte - the byte that two hexadecimal digits at text[at] stand for, or -1.
int HexByte(std::string_view text, std::size_t at) {
    if (at + 2 > text.size()) return -1;
    int high = HexDigitValue(text[at]), low = HexDigitValue(text[at + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// JsonEscapeOf - the letter of JSON's short escape for byte, or 0.
char JsonEscapeOf(unsigned char byte) {
    switch (byte) {
        case '"': return '"';
        case '\\': return '\\';
        case '/': return '/';
        case '\b': return 'b';
        case '\f': return 'f';
        case '\n': return 'n';
        case '\r': return 'r';
        case '\t': return 't';
        default: return 0;
    }
}

// EncodedLengths - the lengths of the spellings of byte that text holds at `at`: as it is,
// form-encoded (%XX in either case, "+" for a space) or JSON-escaped (\uXXXX, \n, \/ ...).
std::vector<std::size_t> EncodedLengths(std::string_view text, std::size_t at, unsigned char byte) {
    std::vector<std::size_t> lengths;
    if (at >= text.size()) return lengths;
    if (static_cast<unsigned char>(text[at]) == byte) lengths.push_back(1);
    if (text[at] == '+' && byte == ' ') lengths.push_back(1);
    if (text[at] == '%' && HexByte(text, at + 1) == byte) lengths.push_back(3);
    if (text[at] == '\\' && at + 1 < text.size()) {
        if (char letter = JsonEscapeOf(byte); letter != 0 && text[at + 1] == letter) lengths.push_back(2);
        if (text[at + 1] == 'u' && HexByte(text, at + 2) == 0 && HexByte(text, at + 4) == byte) {
            lengths.push_back(6);
        }
    }
    return lengths;
}

// EncodedMatch - the length of text from `at` that spells secret in any mix of those forms, or 0.
std::size_t EncodedMatch(std::string_view text, std::size_t at, std::string_view secret) {
    if (secret.empty()) return 0;
    const auto byte = static_cast<unsigned char>(secret.front());
    for (std::size_t length : EncodedLengths(text, at, byte)) {
        if (secret.size() == 1) return length;
        if (std::size_t rest = EncodedMatch(text, at + length, secret.substr(1)); rest != 0) return length + rest;
    }
    return 0;
}

// Hidden - text with every occurrence of the client's secrets replaced, in whichever form an
// endpoint echoes them back: as sent in the form (encoded), decoded, or quoted in JSON.
std::string Hidden(std::string_view text, const OAuthClient& client) {
    constexpr std::string_view kMask = "[hidden]";
    std::string result;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t match = 0;
        for (const std::string* secret : {&client.ClientSecret, &client.RefreshToken}) {
            match = std::max(match, EncodedMatch(text, at, *secret));
        }
        if (match != 0) {
            result += kMask;
            at += match;
        } else {
            result += text[at++];
        }
    }
    return result;
}

std::vector<std::pair<std::string, std::string>> GrantFields(const OAuthClient& client) {
    std::vector<std::pair<std::string, std::string>> fields;
    if (client.RefreshToken.empty()) {
        fields.emplace_back("grant_type", "client_credentials");
    } else {
        fields.emplace_back("grant_type", "refresh_token");
        fields.emplace_back("refresh_token", client.RefreshToken);
    }
    if (!client.ClientId.empty()) fields.emplace_back("client_id", client.ClientId);
    if (!client.ClientSecret.empty()) fields.emplace_back("client_secret", client.ClientSecret);
    if (!client.Scope.empty()) fields.emplace_back("scope", client.Scope);
    return fields;
}

std::string TextField(const json& answer, const char* name) {
    auto it = answer.find(name);
    return it != answer.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// RefusalText - "HTTP 400: error: error_description" with what the endpoint gave of the two.
std::string RefusalText(const HttpsAnswer& answer, const OAuthClient& client) {
    std::string text = "HTTP " + std::to_string(answer.Status);
    json body = json::parse(answer.Body, nullptr, false);
    if (body.is_object()) {
        std::string error = TextField(body, "error");
        std::string description = TextField(body, "error_description");
        // Secrets are masked before the texts are cut short, so that no part of one is left.
        if (!error.empty()) text += ": " + Printable(Hidden(error, client));
        if (!description.empty()) text += (error.empty() ? ": " : " - ") + Printable(Hidden(description, client));
    }
    return text;
}

// Lifetime - expires_in as a number of seconds, or as digits in a string (some endpoints send that).
std::optional<std::chrono::seconds> Lifetime(const json& answer) {
    auto it = answer.find("expires_in");
    if (it == answer.end()) return std::nullopt;
    constexpr double kLongestLifetime = 1e9;  // beyond it a value is nonsense, not a lifetime
    if (it->is_number() && it->get<double>() >= 0 && it->get<double>() < kLongestLifetime) {
        return std::chrono::seconds(static_cast<long long>(it->get<double>()));
    }
    if (it->is_string()) {
        const std::string& digits = it->get_ref<const std::string&>();
        if (!digits.empty() && digits.size() < 10 &&
            digits.find_first_not_of("0123456789") == std::string::npos) {
            return std::chrono::seconds(std::stoll(digits));
        }
    }
    return std::nullopt;
}

// IsBearerToken - printable ASCII without blanks: it goes into the XOAUTH2 string between ^A bytes.
bool IsBearerToken(const std::string& token) {
    if (token.empty()) return false;
    for (char c : token) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) return false;
    }
    return true;
}

AccessToken ReadToken(const HttpsAnswer& answer, const std::string& endpoint, const OAuthClient& client) {
    json body = json::parse(answer.Body, nullptr, false);
    if (!body.is_object()) {
        throw OAuthError("The OAuth token endpoint " + endpoint + " answered with no valid JSON object");
    }
    std::string type = TextField(body, "token_type");
    if (!type.empty() && !EqualsNoCase(type, "bearer")) {
        throw OAuthError("The OAuth token endpoint " + endpoint + " answered with a token of type \"" +
                         Printable(Hidden(type, client)) + "\", not Bearer");
    }
    AccessToken token{TextField(body, "access_token"), Lifetime(body)};
    if (!IsBearerToken(token.Value)) {
        throw OAuthError("The OAuth token endpoint " + endpoint + " answered without a usable access_token");
    }
    return token;
}

}  // namespace

AccessToken FetchAccessToken(const OAuthClient& client, const TokenTimeouts& timeouts) {
    const TokenGrant grant = client.KeyFile.empty() ? TokenGrant{client.TokenUrl, GrantFields(client)}
                                                    : ServiceAccountGrant(client, std::chrono::system_clock::now());
    const std::string endpoint = EndpointName(grant.Url);
    if (!IsHttpsUrl(grant.Url)) {
        throw OAuthError("The OAuth token endpoint must be an https:// address, not \"" + Printable(endpoint) +
                         "\"");
    }
    HttpsAnswer answer;
    try {
        answer = HttpsPost({grant.Url, grant.Fields, client.CaPath, timeouts.Connect, timeouts.Request});
    } catch (const HttpsError& e) {
        throw OAuthError("The OAuth token endpoint " + endpoint + " could not be used: " + Hidden(e.what(), client));
    }
    if (answer.Status != 200) {
        throw OAuthError("The OAuth token endpoint " + endpoint + " refused the request: " +
                         RefusalText(answer, client));
    }
    return ReadToken(answer, endpoint, client);
}

TokenCache::TokenCache(Fetcher fetch, Clock clock) : fetch_(std::move(fetch)), clock_(std::move(clock)) {}

std::string TokenCache::Token(const OAuthClient& client, const TokenTimeouts& timeouts) {
    std::lock_guard<std::mutex> hold(lock_);
    auto now = clock_();
    if (kept_ && kept_->Client == client && now < kept_->Until) {
        return kept_->Token;
    }
    kept_.reset();
    AccessToken fresh = fetch_(client, timeouts);
    // The lifetime counts from before the request, so the margin also covers the request's own time.
    if (fresh.ExpiresIn && *fresh.ExpiresIn > kTokenMargin) {
        kept_ = Kept{client, fresh.Value, now + *fresh.ExpiresIn - kTokenMargin};
    }
    return fresh.Value;
}

void TokenCache::Drop(const std::string& token) {
    std::lock_guard<std::mutex> hold(lock_);
    if (kept_ && kept_->Token == token) {
        kept_.reset();
    }
}

void TokenCache::Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    kept_.reset();
}

TokenCache& ProcessTokenCache() {
    static TokenCache cache;
    return cache;
}

}  // namespace tessel::smtp
