// TLS as a byte layer under the line connection (OpenSSL 3), switched on after STARTTLS.
// OpenSSL writes with write(): a peer that closed gives EPIPE only in a process that ignores
// SIGPIPE, which the service and the test programs do at start (IgnoreBrokenPipes).
#pragma once

#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "smtp/socket.h"

namespace tessel::smtp {

// TlsError - the TLS context, handshake or an encrypted read/write failed; carries OpenSSL's text.
class TlsError : public tessel::Error {
public:
    using Error::Error;
};

class TlsPeerCheck;

// InitialiseTlsLibrary - OpenSSL's start-up, done once per process; a failure is retried next time.
// Returns false when the library could not be started.
bool InitialiseTlsLibrary();

// TlsLayer - the process's shared client context and, after the handshake, the TLS connection on
// the socket. The server's certificate is checked only as the handshake's TlsPeerCheck asks.
class TlsLayer : public ByteStream {
public:
    // Takes the process's shared client context (TLS 1.2 at least, the trust store read once).
    // Throws TlsError when the library cannot start or the context cannot be made.
    TlsLayer();
    ~TlsLayer() override;
    TlsLayer(const TlsLayer&) = delete;
    TlsLayer& operator=(const TlsLayer&) = delete;

    // Handshake - client handshake on the connected non-blocking socket fd before the deadline;
    // serverName goes out as SNI unless it is a dotted address, and is the name check verifies. On
    // failure the TLS connection object is dropped again (the socket stays plain). Throws
    // TlsCheckError (the certificate failed a check), TlsError or TransportError (expired wait).
    void Handshake(int fd, const std::string& serverName, Deadline deadline, const TlsPeerCheck& check);

    // Active - the handshake succeeded and the layer carries the bytes.
    bool Active() const { return ssl_ != nullptr; }

    std::optional<std::size_t> Receive(char* buffer, std::size_t size, Deadline deadline) override;
    void Send(std::string_view bytes, Deadline deadline) override;

    // Shutdown - sends the close notification once (not awaited) and frees the TLS connection.
    // Must run before the socket is closed. Never throws.
    void Shutdown() noexcept;

private:
    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };

    // Wait - after SSL_ERROR_WANT_READ/WRITE; false when the deadline passed.
    bool Wait(int sslError, Deadline deadline);

    std::shared_ptr<SSL_CTX> ctx_;
    std::unique_ptr<SSL, SslFree> ssl_;
    int fd_ = -1;
};

}  // namespace tessel::smtp
