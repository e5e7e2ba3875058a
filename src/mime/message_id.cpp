#include "mime/message_id.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>

#include "util/ascii.h"
#include "util/error.h"

namespace tessel::mime {

namespace {

// Hexadecimal digits of the digest that go into the ID (128 bits).
constexpr std::size_t kDigestBytesUsed = 16;

constexpr std::string_view kAtomExtras = "!#$%&'*+-/=?^_`{|}~";

bool IsDomainByte(char c, bool literal) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.') return true;
    if (literal && (c == '[' || c == ']' || c == ':')) return true;
    return kAtomExtras.find(c) != std::string_view::npos;
}

struct MacFree {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};
using MacContext = std::unique_ptr<EVP_MAC_CTX, MacFree>;

// kKeyLabel - what the login is keyed with to give the Message-ID key, so that the key is good for
// nothing else.
constexpr std::string_view kKeyLabel = "tesselcomsvc Message-ID key";

// Hmac - OpenSSL's HMAC, fetched once: a fetch searches the providers under a lock, which every
// message paid for. Null when OpenSSL has none.
EVP_MAC* Hmac() {
    static const std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    return mac.get();
}

// NewHmac - an HMAC-SHA-256 context started with key; null when OpenSSL fails.
MacContext NewHmac(std::string_view key) {
    EVP_MAC* mac = Hmac();
    if (mac == nullptr) return nullptr;
    MacContext context(EVP_MAC_CTX_new(mac));
    char digest[] = "SHA256";
    OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
    if (!context || EVP_MAC_init(context.get(), reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                                 parameters) != 1) {
        return nullptr;
    }
    return context;
}

// Each field with its length in front, so that no two identities give the same bytes. The fields
// go into the digest one by one: the body may be tens of megabytes and is not copied for it.
bool DigestField(EVP_MAC_CTX* context, std::string_view field) {
    std::string length = std::to_string(field.size());
    length += ':';
    return EVP_MAC_update(context, reinterpret_cast<const unsigned char*>(length.data()), length.size()) == 1 &&
           EVP_MAC_update(context, reinterpret_cast<const unsigned char*>(field.data()), field.size()) == 1;
}

// Finish - the MAC of what went in; empty when OpenSSL fails.
std::string Finish(EVP_MAC_CTX* context) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    if (EVP_MAC_final(context, digest, &length, sizeof digest) != 1) return {};
    return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

std::string MessageIdDomain(std::string_view domain) {
    if (domain.empty()) return "localhost";
    const bool literal = domain.size() >= 2 && domain.front() == '[' && domain.back() == ']';
    std::string out(domain);
    for (char& c : out) {
        if (!IsDomainByte(c, literal)) c = '-';
    }
    return out;
}

std::string MessageIdKey(std::string_view userName, std::string_view password) {
    MacContext context = NewHmac(kKeyLabel);
    std::string key;
    if (context && DigestField(context.get(), userName) && DigestField(context.get(), password)) {
        key = Finish(context.get());
    }
    if (key.empty()) throw Error("Cannot compute the Message-ID key");
    return key;
}

std::string MakeMessageId(const MessageIdentity& identity, std::string_view domain, std::string_view key) {
    MacContext context = NewHmac(key);
    std::string digest;
    if (context && DigestField(context.get(), std::to_string(identity.RowId)) &&
        DigestField(context.get(), identity.Recipient) && DigestField(context.get(), identity.Sender) &&
        DigestField(context.get(), identity.Subject) && DigestField(context.get(), identity.Body)) {
        digest = Finish(context.get());
    }
    if (digest.size() < kDigestBytesUsed) throw Error("Cannot compute the Message-ID digest");

    std::string id = "<";
    id += std::to_string(identity.RowId);
    id += '.';
    for (std::size_t i = 0; i < kDigestBytesUsed; ++i) {
        AppendHexByte(id, static_cast<unsigned char>(digest[i]), kLowerHexDigits);
    }
    return id + "@" + MessageIdDomain(domain) + ">";
}

}  // namespace tessel::mime
