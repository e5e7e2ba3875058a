// What the session demands of the server's certificate: a trusted chain for the right name, a pinned
// key, both, or nothing (the connection is then encrypted but the server unauthenticated).
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "smtp/smtp_account.h"
#include "smtp/tls_layer.h"

namespace tessel::smtp {

// TlsCheckError - the server's certificate failed a check the account asks for: the server is not
// the one meant, so nothing more may be said to it (not even QUIT).
class TlsCheckError : public TlsError {
public:
    using TlsError::TlsError;
};

// KeyFingerprint - SHA-256 of a certificate's DER SubjectPublicKeyInfo.
using KeyFingerprint = std::array<unsigned char, 32>;

// ParsePins - the fingerprints of a pin list: 64 hex digits each (colons and blanks ignored, any
// case), separated by ";"; empty entries are skipped. Throws TlsError naming the entry that is not
// a fingerprint.
std::vector<KeyFingerprint> ParsePins(std::string_view text);

// FingerprintOf - the fingerprint of cert's public key. Throws TlsError when it cannot be encoded.
KeyFingerprint FingerprintOf(X509* cert);

// FormatFingerprint - lower-case hex pairs joined by ":" (the form `openssl dgst -c` prints).
std::string FormatFingerprint(const KeyFingerprint& fingerprint);

// CaStore - the certificates of a PEM file or a hashed directory as a trust store. The last path
// asked for is kept, so a file is read again only when the path changes. Throws TlsError when the
// path cannot be read or holds no certificate.
std::shared_ptr<X509_STORE> CaStore(const std::string& path);

// TlsPeerCheck - the checks of one session's handshake. Default-constructed it checks nothing.
class TlsPeerCheck {
public:
    TlsPeerCheck() = default;

    // ForAccount - the checks that account's TlsVerify, TlsCa and TlsPins ask for; nothing when the
    // account uses no TLS. Throws TlsError for a CA path that cannot be loaded or a bad pin list.
    static TlsPeerCheck ForAccount(const SmtpAccount& account);

    // Prepare - before the handshake: with verification on, the chain must lead to the trust store
    // (the CA store when set, else the context's) and the certificate must name host (an address
    // when host is a dotted IPv4 text). Throws TlsError when the parameters cannot be set.
    void Prepare(SSL* ssl, const std::string& host) const;

    // HandshakeFailure - after a failed handshake: the reason when certificate verification caused it.
    std::optional<std::string> HandshakeFailure(const SSL* ssl, const std::string& host) const;

    // Confirm - after the handshake: the server's key must match a pin when pins are set. Throws
    // TlsCheckError with the key's actual fingerprint.
    void Confirm(SSL* ssl) const;

private:
    bool verify_ = false;
    std::shared_ptr<X509_STORE> store_;  // null: the context's store (the system's)
    std::vector<KeyFingerprint> pins_;
};

}  // namespace tessel::smtp
