#include "smtp/service_account.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "smtp/oauth_token.h"
#include "util/base64.h"
#include "util/error.h"
#include "util/record_text.h"
#include "util/unique_fd.h"

namespace tessel::smtp {
namespace {

using nlohmann::json;

// A key file is a few kilobytes; anything much larger is not one.
constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

constexpr const char* kJwtBearerGrantType = "urn:ietf:params:oauth:grant-type:jwt-bearer";

// Secret - a string wiped when it goes: it holds the private key.
struct Secret {
    std::string Text;
    ~Secret() { OPENSSL_cleanse(Text.data(), Text.size()); }
};

OAuthError KeyError(const std::string& path, const std::string& what) {
    return OAuthError("The service account key file \"" + RecordText(path) + "\" (email.oauth.key) " + what +
                      "; no token was requested");
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// ReadKeyFile - the file's bytes, once it is known to be a regular file that only its owner may
// read or change. Opened without blocking, so that a FIFO cannot hang the cycle.
void ReadKeyFile(const std::string& path, Secret& content) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) throw KeyError(path, "cannot be opened: " + SystemText(errno));
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) throw KeyError(path, "cannot be read: " + SystemText(errno));
    if (!S_ISREG(status.st_mode)) throw KeyError(path, "is not a regular file");
    if ((status.st_mode & 077) != 0) {
        throw KeyError(path, "may be read or changed by users other than its owner (mode " +
                                 ModeText(status.st_mode) + "); allow only its owner (chmod 600)");
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw KeyError(path, "cannot be read: " + SystemText(errno));
        if (got == 0) break;
        content.Text.append(buffer, static_cast<std::size_t>(got));
        if (content.Text.size() > kMaxKeyFileBytes) throw KeyError(path, "is too large for a key file");
    }
    OPENSSL_cleanse(buffer, sizeof buffer);
}

std::string Base64Url(std::string_view bytes) {
    std::string text = Base64Encode(bytes);
    while (!text.empty() && text.back() == '=') text.pop_back();
    for (char& c : text) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    return text;
}

using PrivateKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

PrivateKey ReadRsaKey(const std::string& pem, const std::string& path) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                   &BIO_free);
    PrivateKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr, &EVP_PKEY_free);
    if (!key) throw KeyError(path, "holds no readable private_key");
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) throw KeyError(path, "holds a private_key that is not RSA");
    return key;
}

// SignRs256 - the RSASSA-PKCS1-v1_5 signature with SHA-256 of text.
std::string SignRs256(EVP_PKEY* key, std::string_view text, const std::string& path) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::size_t size = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, data, text.size()) != 1) {
        throw KeyError(path, "could not sign the assertion");
    }
    std::string signature(size, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, data,
                       text.size()) != 1) {
        throw KeyError(path, "could not sign the assertion");
    }
    signature.resize(size);
    return signature;
}

std::string KeyField(const json& key, const char* name, const std::string& path) {
    auto it = key.find(name);
    if (it == key.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) {
        throw KeyError(path, std::string("has no ") + name);
    }
    return it->get<std::string>();
}

}  // namespace

TokenGrant ServiceAccountGrant(const OAuthClient& client, std::chrono::system_clock::time_point now) {
    const std::string& path = client.KeyFile;
    Secret content;
    ReadKeyFile(path, content);
    json key = json::parse(content.Text, nullptr, false);
    if (!key.is_object()) throw KeyError(path, "is no JSON object");
    Secret pem{KeyField(key, "private_key", path)};
    const std::string issuer = KeyField(key, "client_email", path);
    const std::string tokenUri = KeyField(key, "token_uri", path);

    json header = {{"alg", "RS256"}, {"typ", "JWT"}};
    if (auto id = key.find("private_key_id"); id != key.end() && id->is_string()) header["kid"] = *id;
    const auto issuedAt = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    const json claims = {{"iss", issuer},
                         {"sub", client.Subject},
                         {"scope", client.Scope.empty() ? kServiceAccountScope : client.Scope},
                         {"aud", tokenUri},
                         {"iat", issuedAt},
                         {"exp", issuedAt + kAssertionLifetime.count()}};
    const std::string signingInput = Base64Url(header.dump()) + "." + Base64Url(claims.dump());
    const PrivateKey privateKey = ReadRsaKey(pem.Text, path);
    const std::string assertion = signingInput + "." + Base64Url(SignRs256(privateKey.get(), signingInput, path));
    return {tokenUri, {{"grant_type", kJwtBearerGrantType}, {"assertion", assertion}}};
}

}  // namespace tessel::smtp
