#include "smtp/tls_layer.h"

#include "smtp/openssl_error.h"
#include "smtp/tls_client_context.h"

#include <cerrno>
#include <ctime>
#include <mutex>

#include <openssl/err.h>

#include "smtp/tls_peer_check.h"

namespace tessel::smtp {

namespace {

bool IsUnexpectedEof() {
    unsigned long code = ERR_peek_error();
    return code != 0 && ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
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
                throw PlatformError(errno);
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
            throw TransportError("Connection closed by the server while sending");
        }
        if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno != 0) {
            throw PlatformError(errno);
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
