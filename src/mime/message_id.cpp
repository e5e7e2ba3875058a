#include "mime/message_id.h"

#include <openssl/evp.h>

#include <memory>

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

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestFree>;

// Each field with its length in front, so that no two identities give the same bytes. The fields
// go into the digest one by one: the body may be tens of megabytes and is not copied for it.
bool DigestField(EVP_MD_CTX* context, std::string_view field) {
    std::string length = std::to_string(field.size());
    length += ':';
    return EVP_DigestUpdate(context, length.data(), length.size()) == 1 &&
           EVP_DigestUpdate(context, field.data(), field.size()) == 1;
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

std::string MakeMessageId(const MessageIdentity& identity, std::string_view domain) {
    DigestContext context(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1 &&
                      DigestField(context.get(), std::to_string(identity.RowId)) &&
                      DigestField(context.get(), identity.Recipient) &&
                      DigestField(context.get(), identity.Sender) &&
                      DigestField(context.get(), identity.Subject) &&
                      DigestField(context.get(), identity.Body) &&
                      EVP_DigestFinal_ex(context.get(), digest, &length) == 1;
    if (!done || length < kDigestBytesUsed) throw Error("Cannot compute the Message-ID digest");

    static constexpr char kHex[] = "0123456789abcdef";
    std::string id = "<";
    id += std::to_string(identity.RowId);
    id += '.';
    for (std::size_t i = 0; i < kDigestBytesUsed; ++i) {
        id += kHex[digest[i] >> 4];
        id += kHex[digest[i] & 0xF];
    }
    return id + "@" + MessageIdDomain(domain) + ">";
}

}  // namespace tessel::mime
