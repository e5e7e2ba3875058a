// Thin POSIX layer under the SMTP connection: bounded waits and an IPv4 connect. Writes rely on
// the process ignoring SIGPIPE (IgnoreBrokenPipes).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <netinet/in.h>

#include "util/error.h"
#include "util/unique_fd.h"

namespace tessel::smtp {

using Clock = std::chrono::steady_clock;
// Deadline - the moment a whole operation (a reply, a write, a connect) must be done by.
using Deadline = Clock::time_point;

// DeadlineAfter - now plus the given span.
Deadline DeadlineAfter(std::chrono::milliseconds span);

// TransportError - the connection cannot go on: closed by the server, expired wait, unusable reply.
class TransportError : public tessel::Error {
public:
    using Error::Error;
};

// PeerClosed - the server ended the connection: an orderly close, or a reset.
class PeerClosed : public TransportError {
public:
    using TransportError::TransportError;
};

// ThrowSocketError - a failed read or write: a reset or a broken pipe (the server ended the
// connection) as PeerClosed, any other error as PlatformError; both with the system's text.
[[noreturn]] void ThrowSocketError(int errnoValue);

enum class WaitFor { Readable, Writable };

// WaitStopped - a wait that a stop request cut short; the connection is left unusable.
class WaitStopped : public TransportError {
public:
    WaitStopped() : TransportError("Stopped by a stop request") {}
};

// StoppableWaits - while it lives, every wait of the calling thread on a connection (connect, TLS
// handshake, reads, writes) also ends, with WaitStopped, as soon as stopFd is readable (a negative
// fd: no stop). Scopes nest; the previous setting comes back at the end.
class StoppableWaits {
public:
    explicit StoppableWaits(int stopFd) noexcept;
    ~StoppableWaits();
    StoppableWaits(const StoppableWaits&) = delete;
    StoppableWaits& operator=(const StoppableWaits&) = delete;

private:
    int previous_;
};

// StopPending - the stop watched by the calling thread's StoppableWaits scope has been raised (for
// waits that are not polls of ours, such as an HTTPS request). Never throws.
bool StopPending() noexcept;

// PatientWaits - the waits inside it are not cut short by a stop (the reply to the final ".":
// the server may be taking the message, and cutting the wait could send it twice).
class PatientWaits : public StoppableWaits {
public:
    PatientWaits() noexcept : StoppableWaits(-1) {}
};

// WaitReady - polls fd until it is ready or the deadline passes (a past deadline polls once without
// waiting). Returns false when the deadline passed first. Throws PlatformError when poll fails,
// WaitStopped when a stop request ends a stoppable wait.
bool WaitReady(int fd, WaitFor what, Deadline deadline);

// ByteStream - a connected byte stream with bounded waits (the plain socket, or TLS over it).
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Receive - waits (until the deadline) for bytes and reads at most size of them with one read.
    // Returns the count, 0 for an orderly close by the peer, nullopt when the deadline passed with
    // nothing to read. Throws PlatformError or a layer error on a broken connection.
    virtual std::optional<std::size_t> Receive(char* buffer, std::size_t size, Deadline deadline) = 0;
    // Send - writes all bytes before the deadline. Throws TransportError for an expired wait or a send
    // that makes no progress, PlatformError (or a layer error) for a broken connection.
    virtual void Send(std::string_view bytes, Deadline deadline) = 0;
};

// ParseDottedIPv4 - four dot-separated decimal numbers 0..255 and nothing else; nullopt otherwise.
std::optional<in_addr> ParseDottedIPv4(std::string_view host);

// ResolveIPv4 - the server address: a dotted IPv4 text as is, "localhost" in any letter case as
// 127.0.0.1 without a lookup, otherwise the first IPv4 address of getaddrinfo. The text is not trimmed.
// Throws TransportError when the name cannot be resolved.
in_addr ResolveIPv4(const std::string& host);

// TcpSocket - a non-blocking IPv4 stream socket with Nagle's algorithm off (TCP_NODELAY).
class TcpSocket : public ByteStream {
public:
    TcpSocket() = default;
    // Connect - a socket bound to any address and port 0, connected to address:port before the
    // deadline. Throws TransportError (refused, unreachable, expired) or PlatformError.
    static TcpSocket Connect(in_addr address, std::uint16_t port, Deadline deadline);

    std::optional<std::size_t> Receive(char* buffer, std::size_t size, Deadline deadline) override;
    void Send(std::string_view bytes, Deadline deadline) override;

    int Fd() const { return fd_.Get(); }
    bool Valid() const { return static_cast<bool>(fd_); }
    // Close - shuts down the sending direction (notice to the peer), then closes. Idempotent.
    void Close() noexcept;

private:
    explicit TcpSocket(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

}  // namespace tessel::smtp
