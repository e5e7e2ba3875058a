#include "smtp/tls_layer.h"

#include "smtp/openssl_error.h"
#include "smtp/tls_client_context.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>

#include <openssl/bio.h>
#include <openssl/err.h>

#include "smtp/tls_peer_check.h"

namespace tessel::smtp {

namespace {

bool IsUnexpectedEof() {
    unsigned long code = ERR_peek_error();
    return code != 0 && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

// kReplyStartBytes - "220 " or "220-": enough to tell an SMTP reply from a TLS record.
constexpr std::size_t kReplyStartBytes = 4;

// KeepFirstBytes - a read callback of the handshake's socket BIO: keeps the first bytes the server
// sent (in the std::string its argument points to).
long KeepFirstBytes(BIO* bio, int operation, const char* buffer, size_t, int, long, int result,
                    size_t* processed) {
    if (operation == (BIO_CB_READ | BIO_CB_RETURN) && result > 0 && processed != nullptr && buffer != nullptr) {
        auto* first = reinterpret_cast<std::string*>(BIO_get_callback_arg(bio));
        if (first != nullptr && first->size() < kReplyStartBytes) {
            first->append(buffer, std::min(*processed, kReplyStartBytes - first->size()));
        }
    }
    return result;
}

// PlainReplyCode - the code when first begins an SMTP reply (three digits and a blank or hyphen): a
// server that speaks plain text where TLS was expected. Empty otherwise (a TLS record starts with a
// byte below 0x20).
std::string PlainReplyCode(const std::string& first) {
    if (first.size() < kReplyStartBytes) return "";
    for (std::size_t i = 0; i < 3; ++i) {
        if (first[i] < '0' || first[i] > '9') return "";
    }
    if (first[3] != ' ' && first[3] != '-') return "";
    return first.substr(0, 3);
}

}  // namespace

bool InitialiseTlsLibrary() {
    static std::mutex lock;
    static bool initialised = false;
    std::lock_guard<std::mutex> guard(lock);
    if (!initialised) {
        initialised = OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                                       nullptr) == 1;
    }
    return initialised;
}

TlsLayer::TlsLayer() : ctx_(SharedClientContext()) {}

TlsLayer::~TlsLayer() {
    Shutdown();
}

bool TlsLayer::Wait(int sslError, Deadline deadline) {
    return WaitReady(fd_, sslError == SSL_ERROR_WANT_WRITE ? WaitFor::Writable : WaitFor::Readable,
                     deadline);
}

void TlsLayer::Handshake(int fd, const std::string& serverName, Deadline deadline, const TlsPeerCheck& check) {
    ERR_clear_error();
    ssl_.reset(SSL_new(ctx_.get()));
    if (!ssl_) {
        throw TlsError("TLS handshake failed: " + OpenSslErrorText("no TLS connection object"));
    }
    fd_ = fd;
    try {
        if (SSL_set_fd(ssl_.get(), fd) != 1) {
            throw TlsError("TLS handshake failed: " + OpenSslErrorText("the socket cannot be attached"));
        }
        if (!serverName.empty() && !ParseDottedIPv4(serverName) &&
            SSL_set_tlsext_host_name(ssl_.get(), serverName.c_str()) != 1) {
            throw TlsError("TLS handshake failed: " + OpenSslErrorText("the server name is not usable"));
        }
        check.Prepare(ssl_.get(), serverName);
        // The server's first bytes tell a plain-text greeting from a TLS record, which OpenSSL's
        // record-layer error does not.
        std::string first;
        BIO* socketBio = SSL_get_rbio(ssl_.get());
        BIO_set_callback_ex(socketBio, KeepFirstBytes);
        BIO_set_callback_arg(socketBio, reinterpret_cast<char*>(&first));
        struct Unhook {
            BIO* Bio;
            ~Unhook() {
                BIO_set_callback_ex(Bio, nullptr);
                BIO_set_callback_arg(Bio, nullptr);
            }
        } unhook{socketBio};
        for (;;) {
            ERR_clear_error();
            int rc = SSL_connect(ssl_.get());
            if (rc == 1) {
                break;
            }
            int err = SSL_get_error(ssl_.get(), rc);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                if (!Wait(err, deadline)) {
                    throw TransportError("Timed out during the TLS handshake");
                }
                continue;
            }
            if (std::string plainReply = PlainReplyCode(first); !plainReply.empty()) {
                throw TlsError("TLS handshake failed: the server answered in plain text (a " + plainReply +
                               " reply), as a server does that expects a plain connection or STARTTLS");
            }
            if (std::optional<std::string> refused = check.HandshakeFailure(ssl_.get(), serverName)) {
                throw TlsCheckError(*refused);
            }
            throw TlsError("TLS handshake failed: " +
                           OpenSslErrorText(err == SSL_ERROR_SYSCALL ? "connection closed by the server"
                                                               : "protocol error"));
        }
        check.Confirm(ssl_.get());
    } catch (...) {
        // The session stays plain: the cleanup's QUIT goes out unencrypted.
        ssl_.reset();
        fd_ = -1;
        ERR_clear_error();
        throw;
    }
}

std::optional<std::size_t> TlsLayer::Receive(char* buffer, std::size_t size, Deadline deadline) {
    // SSL_read comes before any wait, so bytes OpenSSL already holds (SSL_pending) never wait on poll.
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        int rc;
        {
            rc = SSL_read_ex(ssl_.get(), buffer, size, &got);
        }
        if (rc == 1) {
            return got;
        }
        int err = SSL_get_error(ssl_.get(), rc);
        switch (err) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            // Also after a TLS 1.3 session ticket that carried no data: not a close, read on.
            if (!Wait(err, deadline)) {
                return std::nullopt;
            }
            continue;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0) {
                if (errno == 0) {
                    return 0;
                }
                ThrowSocketError(errno);
            }
            break;
        case SSL_ERROR_SSL:
            // A server that closes without a close notification has closed all the same.
            if (IsUnexpectedEof()) {
                ERR_clear_error();
                return 0;
            }
            break;
        default:
            break;
        }
        throw TlsError("TLS read failed: " + OpenSslErrorText("protocol error"));
    }
}

void TlsLayer::Send(std::string_view bytes, Deadline deadline) {
    while (!bytes.empty()) {
        ERR_clear_error();
        std::size_t written = 0;
        int rc = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written);
        if (rc == 1) {
            bytes.remove_prefix(written);
            continue;
        }
        int err = SSL_get_error(ssl_.get(), rc);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (!Wait(err, deadline)) {
                throw TransportError("Timed out sending to the server");
            }
            continue;
        }
        if (err == SSL_ERROR_ZERO_RETURN) {
            throw PeerClosed("Connection closed by the server while sending");
        }
        if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno != 0) {
            ThrowSocketError(errno);
        }
        throw TlsError("TLS write failed: " + OpenSslErrorText("connection closed by the server"));
    }
}

void TlsLayer::Shutdown() noexcept {
    if (ssl_) {
        ERR_clear_error();
        SSL_shutdown(ssl_.get());
        ssl_.reset();
        ERR_clear_error();
    }
    fd_ = -1;
}

}  // namespace tessel::smtp
