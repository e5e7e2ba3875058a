#include "mime/message_id.h"

#include <openssl/evp.h>

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

// Each field with its length in front, so that no two identities give the same bytes.
void AppendField(std::string& out, std::string_view field) {
    out += std::to_string(field.size());
    out += ':';
    out += field;
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
    std::string input;
    AppendField(input, std::to_string(identity.RowId));
    AppendField(input, identity.Recipient);
    AppendField(input, identity.Sender);
    AppendField(input, identity.Subject);
    AppendField(input, identity.Body);

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
        length < kDigestBytesUsed)
        throw Error("Cannot compute the Message-ID digest");

    static constexpr char kHex[] = "0123456789abcdef";
    std::string id = "<" + std::to_string(identity.RowId) + ".";
    for (std::size_t i = 0; i < kDigestBytesUsed; ++i) {
        id += kHex[digest[i] >> 4];
        id += kHex[digest[i] & 0xF];
    }
    return id + "@" + MessageIdDomain(domain) + ">";
}

}  // namespace tessel::mime
