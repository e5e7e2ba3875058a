#include "smtp/tls_peer_check.h"

#include <algorithm>
#include <mutex>

#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include "smtp/openssl_error.h"
#include "smtp/socket.h"
#include "util/ascii.h"
#include "util/ca_path.h"
#include "util/record_text.h"

namespace tessel::smtp {

namespace {

constexpr std::string_view kRefused = "The server's TLS certificate was refused: ";

struct StoreFree {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};

std::optional<KeyFingerprint> ParseFingerprint(std::string_view entry) {
    std::string digits;
    for (char c : entry) {
        if (c != ':' && c != ' ' && c != '\t') {
            digits += c;
        }
    }
    KeyFingerprint fingerprint{};
    if (digits.size() != fingerprint.size() * 2) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < fingerprint.size(); ++i) {
        int high = HexDigitValue(digits[2 * i]);
        int low = HexDigitValue(digits[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        fingerprint[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return fingerprint;
}

std::string_view TrimBlanks(std::string_view text) { return Trim(text, " \t\n\v\f\r"); }

std::shared_ptr<X509_STORE> LoadCaStore(const std::string& path) {
    std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    if (!store) {
        throw TlsError("The trust store for email.tls.ca cannot be made: " + OpenSslErrorReason("out of memory"));
    }
    // A FIFO or a device would block the open in the library, or feed it without end.
    if (std::string problem = CaPathProblem(path); !problem.empty()) {
        throw TlsError("The CA certificates in email.tls.ca (" + RecordText(path) + ") cannot be read: " + problem);
    }
    struct stat info {};
    bool directory = ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    ERR_clear_error();
    int loaded = directory ? X509_STORE_load_path(store.get(), path.c_str())
                           : X509_STORE_load_file(store.get(), path.c_str());
    if (loaded != 1) {
        throw TlsError("The CA certificates in email.tls.ca (" + RecordText(path) +
                       ") cannot be read: " + OpenSslErrorReason("no certificate found"));
    }
    ERR_clear_error();
    return std::shared_ptr<X509_STORE>(store.release(), StoreFree{});
}

// VerificationReason - the operator's words for why the chain or the name was not accepted.
std::string VerificationReason(long result, const std::string& host) {
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "not yet valid";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "name mismatch (it is not issued for " + host + ")";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return std::string("unknown issuer (") + X509_verify_cert_error_string(result) + ")";
    default:
        return X509_verify_cert_error_string(result);
    }
}

}  // namespace

std::vector<KeyFingerprint> ParsePins(std::string_view text) {
    std::vector<KeyFingerprint> pins;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = std::min(text.find(';', at), text.size());
        std::string_view entry = TrimBlanks(text.substr(at, end - at));
        if (!entry.empty()) {
            std::optional<KeyFingerprint> pin = ParseFingerprint(entry);
            if (!pin) {
                throw TlsError("email.tls.pin holds \"" + RecordText(entry) +
                               "\", which is not a SHA-256 fingerprint (64 hex digits)");
            }
            pins.push_back(*pin);
        }
        at = end + 1;
    }
    return pins;
}

KeyFingerprint FingerprintOf(X509* cert) {
    unsigned char* der = nullptr;
    int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    if (length <= 0) {
        throw TlsError("The server's public key cannot be read: " + OpenSslErrorReason("encoding failed"));
    }
    KeyFingerprint fingerprint{};
    unsigned int size = 0;
    bool hashed = EVP_Digest(der, static_cast<std::size_t>(length), fingerprint.data(), &size, EVP_sha256(),
                             nullptr) == 1;
    OPENSSL_free(der);
    if (!hashed || size != fingerprint.size()) {
        throw TlsError("The server's public key cannot be hashed: " + OpenSslErrorReason("digest failed"));
    }
    return fingerprint;
}

std::string FormatFingerprint(const KeyFingerprint& fingerprint) {
    std::string text;
    for (unsigned char byte : fingerprint) {
        if (!text.empty()) {
            text += ':';
        }
        AppendHexByte(text, byte, kLowerHexDigits);
    }
    return text;
}

std::shared_ptr<X509_STORE> CaStore(const std::string& path) {
    static std::mutex lock;
    static std::string loadedPath;
    static std::shared_ptr<X509_STORE> loaded;
    std::lock_guard<std::mutex> guard(lock);
    if (!loaded || loadedPath != path) {
        loaded = LoadCaStore(path);
        loadedPath = path;
    }
    return loaded;
}

TlsPeerCheck TlsPeerCheck::ForAccount(const SmtpAccount& account) {
    TlsPeerCheck check;
    if (!account.WantsTls()) {
        return check;
    }
    check.verify_ = account.TlsVerify;
    if (check.verify_ && !account.TlsCa.empty()) {
        check.store_ = CaStore(account.TlsCa);
    }
    check.pins_ = ParsePins(account.TlsPins);
    return check;
}

void TlsPeerCheck::Prepare(SSL* ssl, const std::string& host) const {
    if (!verify_) {
        return;
    }
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    if (store_ && SSL_set1_verify_cert_store(ssl, store_.get()) != 1) {
        throw TlsError("The trust store of email.tls.ca cannot be used: " + OpenSslErrorReason("unknown error"));
    }
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    bool named;
    if (ParseDottedIPv4(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(ssl, host.c_str()) == 1;
    }
    if (!named) {
        throw TlsError("The server name " + host + " cannot be checked: " + OpenSslErrorReason("unusable name"));
    }
}

std::optional<std::string> TlsPeerCheck::HandshakeFailure(const SSL* ssl, const std::string& host) const {
    if (!verify_) {
        return std::nullopt;
    }
    long result = SSL_get_verify_result(ssl);
    if (result == X509_V_OK) {
        return std::nullopt;
    }
    return std::string(kRefused) + VerificationReason(result, host);
}

void TlsPeerCheck::Confirm(SSL* ssl) const {
    if (pins_.empty()) {
        return;
    }
    X509* cert = SSL_get0_peer_certificate(ssl);
    if (cert == nullptr) {
        throw TlsCheckError(std::string(kRefused) + "pin mismatch (the server sent no certificate)");
    }
    KeyFingerprint actual;
    try {
        actual = FingerprintOf(cert);
    } catch (const TlsError& e) {
        throw TlsCheckError(e.what());
    }
    if (std::find(pins_.begin(), pins_.end(), actual) == pins_.end()) {
        throw TlsCheckError(std::string(kRefused) + "pin mismatch (its key's SHA-256 fingerprint is " +
                            FormatFingerprint(actual) + ")");
    }
}

}  // namespace tessel::smtp
