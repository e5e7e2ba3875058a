// The TCP connection under the SMTP session: input buffer, lines, write batches, bounded waits,
// and the switch to TLS on the same socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "smtp/socket.h"
#include "smtp/tls_layer.h"
#include "smtp/tls_peer_check.h"

namespace tessel::smtp {

// kReceiveChunk - one read asks for at most this many bytes.
inline constexpr std::size_t kReceiveChunk = 32768;
// kMaxLineBytes - the longest line, counted up to the LF (a CR before it included).
inline constexpr std::size_t kMaxLineBytes = 16384;

// LineTransport - what the SMTP session needs from its connection; tests may stand in for it.
class LineTransport {
public:
    virtual ~LineTransport() = default;

    // ReadLine - the next line without its LF and one CR before it, received before the deadline.
    // Throws TransportError (closed by the server, line too long, deadline passed) or a socket/TLS error.
    virtual std::string ReadLine(Deadline deadline) = 0;
    // ReadFirstLine - reads lines, trims each (blanks and control bytes) and returns the first one that
    // is not empty. Throws like ReadLine.
    virtual std::string ReadFirstLine(Deadline deadline) = 0;
    // WriteLine - the text followed by CR LF (collected while a batch is open). Throws on failure.
    virtual void WriteLine(std::string_view text) = 0;
    // BeginBatch - from now on writes only collect.
    virtual void BeginBatch() = 0;
    // FlushBatch - sends what the batch holds in one write and keeps collecting.
    virtual void FlushBatch() = 0;
    // EndBatch - sends the collected bytes in one write and ends the batch (ended even if it throws).
    virtual void EndBatch() = 0;
    // DiscardBatch - ends the batch without sending anything.
    virtual void DiscardBatch() noexcept = 0;
    // BatchSize - bytes collected so far in the open batch.
    virtual std::size_t BatchSize() const = 0;
    // IsOpen - takes in without waiting what has arrived; true while the server has not closed, or
    // while received bytes still wait in the input buffer.
    virtual bool IsOpen() = 0;
    // HasPendingInput - received bytes wait unread (between transactions: something the server
    // said unasked).
    virtual bool HasPendingInput() const { return false; }
    // StartTls - client handshake on the same socket, the certificate checked as check asks. Fails
    // without a handshake when bytes are already waiting in the input buffer (they came in plain
    // text). A failed check closes the connection. Throws TlsCheckError, TlsError, TransportError.
    virtual void StartTls(Deadline deadline, const TlsPeerCheck& check) = 0;
    // Close - TLS shutdown when active, then shutdown of the sending direction and close. Never throws.
    virtual void Close() noexcept = 0;
};

// LineConnection - LineTransport over a POSIX socket, with an optional TLS layer.
class LineConnection : public LineTransport {
public:
    // writeTimeout bounds every single write (a line outside a batch, or one batch).
    explicit LineConnection(std::chrono::milliseconds writeTimeout);
    ~LineConnection() override;

    // Open - resolves and connects before the deadline; with tlsCapable the TLS context is made right
    // after the connect. Fails before any socket for an empty host or a port outside 1..65535.
    // Throws TransportError, PlatformError or TlsError; the socket is closed on every failure.
    void Open(const std::string& host, std::int32_t port, bool tlsCapable, Deadline deadline);

    std::string ReadLine(Deadline deadline) override;
    std::string ReadFirstLine(Deadline deadline) override;
    void WriteLine(std::string_view text) override;
    // WriteBytes - a block of bytes as is (collected while a batch is open). Throws on failure.
    void WriteBytes(std::string_view bytes);
    void BeginBatch() override;
    void FlushBatch() override;
    void EndBatch() override;
    void DiscardBatch() noexcept override;
    std::size_t BatchSize() const override { return batch_ ? batch_->size() : 0; }
    bool IsOpen() override;
    bool HasPendingInput() const override { return !input_.empty(); }
    void StartTls(Deadline deadline, const TlsPeerCheck& check) override;
    void Close() noexcept override;

    // Encrypted - the TLS handshake succeeded on this connection.
    bool Encrypted() const { return tls_ && tls_->Active(); }
    // BufferedBytes - received bytes not yet handed out.
    std::size_t BufferedBytes() const { return input_.size(); }

private:
    ByteStream& Stream();
    // Fill - one read into the input buffer; false when the deadline passed with nothing to read.
    bool Fill(Deadline deadline);
    void Send(std::string_view bytes);
    void DropSocket() noexcept;

    std::chrono::milliseconds writeTimeout_;
    std::string host_;
    TcpSocket socket_;
    std::unique_ptr<TlsLayer> tls_;
    std::string input_;
    std::size_t searched_ = 0;  // bytes of input_ already searched for LF
    std::optional<std::string> batch_;
    bool peerClosed_ = false;
};

}  // namespace tessel::smtp
