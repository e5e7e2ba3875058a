#include "smtp/socket.h"
#include "util/ascii.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessel::smtp {

Deadline DeadlineAfter(std::chrono::milliseconds span) {
    return Clock::now() + span;
}

namespace {

int RemainingMilliseconds(Deadline deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // poll takes an int; very long spans are waited in slices by the caller's loop.
    return static_cast<int>(std::clamp<long long>(left, 0, 60 * 60 * 1000));
}

// The stop descriptor the calling thread's waits watch besides their own; -1 for none.
thread_local int tStopFd = -1;

}  // namespace

StoppableWaits::StoppableWaits(int stopFd) noexcept : previous_(tStopFd) {
    tStopFd = stopFd;
}

StoppableWaits::~StoppableWaits() {
    tStopFd = previous_;
}

bool StopPending() noexcept {
    pollfd p{tStopFd, POLLIN, 0};
    return tStopFd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

namespace {

// PollReady - WaitReady's poll, with what poll reported for fd: 0 when the deadline passed first.
short PollReady(int fd, WaitFor what, Deadline deadline) {
    for (;;) {
        pollfd p[2] = {{fd, static_cast<short>(what == WaitFor::Readable ? POLLIN : POLLOUT), 0},
                       {tStopFd, POLLIN, 0}};
        int wait = RemainingMilliseconds(deadline);
        int n = ::poll(p, tStopFd >= 0 ? 2 : 1, wait);
        if (n > 0 && (p[1].revents & POLLIN) != 0) {
            throw WaitStopped();
        }
        if (n > 0) {
            return p[0].revents;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw PlatformError(errno);
        }
        if (Clock::now() >= deadline) {
            return 0;
        }
    }
}

}  // namespace

bool WaitReady(int fd, WaitFor what, Deadline deadline) {
    // Errors and hang-ups count as ready: the next read or write reports them.
    return PollReady(fd, what, deadline) != 0;
}

std::optional<in_addr> ParseDottedIPv4(std::string_view host) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t pos = 0;
    while (parts < 4) {
        std::size_t digits = 0;
        unsigned number = 0;
        while (pos < host.size() && host[pos] >= '0' && host[pos] <= '9') {
            if (++digits > 3) {
                return std::nullopt;
            }
            number = number * 10 + static_cast<unsigned>(host[pos] - '0');
            ++pos;
        }
        if (digits == 0 || number > 255) {
            return std::nullopt;
        }
        value = (value << 8) | number;
        ++parts;
        if (parts < 4) {
            if (pos >= host.size() || host[pos] != '.') {
                return std::nullopt;
            }
            ++pos;
        }
    }
    if (pos != host.size()) {
        return std::nullopt;
    }
    in_addr address{};
    address.s_addr = htonl(value);
    return address;
}

namespace {

bool IsLocalhost(std::string_view host) {
    return EqualsNoCase(host, "localhost");
}

struct AddrInfoFree {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

}  // namespace

in_addr ResolveIPv4(const std::string& host) {
    if (auto dotted = ParseDottedIPv4(host)) {
        return *dotted;
    }
    if (IsLocalhost(host)) {
        in_addr loopback{};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        return loopback;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &raw);
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    if (rc != 0 || !list || !list->ai_addr) {
        throw TransportError("Cannot resolve the host name \"" + host + "\": " +
                             (rc != 0 ? ::gai_strerror(rc) : "no address"));
    }
    return reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
}

TcpSocket TcpSocket::Connect(in_addr address, std::uint16_t port, Deadline deadline) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        throw PlatformError(errno);
    }
    // Writes are batched already; with Nagle on, a write that follows an unacknowledged one (the
    // EHLO after the last flight of a TLS handshake) would wait for the peer's delayed ACK.
    int noDelay = 1;
    if (::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0) {
        throw PlatformError(errno);
    }

    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr = address;
    remote.sin_port = htons(port);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    auto where = std::string(text) + ":" + std::to_string(port);

    // No bind(): the system picks the local address and port at the connect, where a port may be
    // shared with earlier connections still in TIME-WAIT, so thousands of short sessions in a row
    // (one per message) do not run through the port range.
    int err = 0;
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            short ready = PollReady(fd.Get(), WaitFor::Writable, deadline);
            if (ready == 0) {
                throw TransportError("Timed out connecting to " + where);
            }
            // A connect that failed reports an error or a hang-up beside the writable state; only
            // then is there an error to fetch (one system call less for every session).
            err = 0;
            if ((ready & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                socklen_t len = sizeof err;
                if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                    err = errno;
                }
            }
        }
    }
    if (err != 0) {
        throw TransportError("Cannot connect to " + where + ": " + SystemText(err));
    }
    return TcpSocket(std::move(fd));
}

void ThrowSocketError(int errnoValue) {
    if (errnoValue == ECONNRESET || errnoValue == EPIPE) throw PeerClosed(PlatformError(errnoValue).what());
    throw PlatformError(errnoValue);
}

std::optional<std::size_t> TcpSocket::Receive(char* buffer, std::size_t size, Deadline deadline) {
    for (;;) {
        if (!WaitReady(fd_.Get(), WaitFor::Readable, deadline)) {
            return std::nullopt;
        }
        ssize_t n = ::recv(fd_.Get(), buffer, size, 0);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (Clock::now() >= deadline) {
                return std::nullopt;
            }
            continue;
        }
        ThrowSocketError(errno);
    }
}

void TcpSocket::Send(std::string_view bytes, Deadline deadline) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_.Get(), bytes.data(), bytes.size(), 0);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {
            throw PeerClosed("Connection closed by the server while sending");
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            ThrowSocketError(errno);
        }
        if (!WaitReady(fd_.Get(), WaitFor::Writable, deadline)) {
            throw TransportError("Timed out sending to the server");
        }
    }
}

void TcpSocket::Close() noexcept {
    if (fd_) {
        ::shutdown(fd_.Get(), SHUT_WR);
        fd_.Reset();
    }
}

}  // namespace tessel::smtp
