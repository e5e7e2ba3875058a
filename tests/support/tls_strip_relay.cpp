#include "support/tls_strip_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/loopback.h"

namespace tessel::test {
namespace {

constexpr unsigned char kTlsCapabilityHighByte = 0x08;  // CLIENT_SSL (0x0800) in the low word's second byte
constexpr std::size_t kPacketHeader = 4;
constexpr int kPollStepMs = 20;

bool ReadExactly(int fd, char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// ReadGreeting - the server's first packet, whole, however it arrives.
bool ReadGreeting(int fd, std::string& packet) {
    packet.assign(kPacketHeader, '\0');
    if (!ReadExactly(fd, packet.data(), kPacketHeader)) return false;
    auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(packet[i])); };
    const std::size_t length = byte(0) | byte(1) << 8 | byte(2) << 16;
    packet.resize(kPacketHeader + length);
    return ReadExactly(fd, packet.data() + kPacketHeader, length);
}

// ClearTls - protocol version, server version up to its NUL, thread id (4), scramble (8), filler
// (1), then the capabilities' low word: the TLS bit goes.
void ClearTls(std::string& packet) {
    std::size_t versionEnd = packet.find('\0', kPacketHeader + 1);
    std::size_t capabilities = versionEnd + 1 + 4 + 8 + 1;
    if (versionEnd == std::string::npos || capabilities + 2 > packet.size()) return;
    packet[capabilities + 1] = static_cast<char>(packet[capabilities + 1] & ~kTlsCapabilityHighByte);
}

UniqueFd ConnectTo(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd.Get() < 0 || ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) return {};
    return fd;
}

}  // namespace

TlsStripRelay::TlsStripRelay(int targetPort)
    : listener_(BindLoopback(0, 8)), port_(BoundPort(listener_.Get())), targetPort_(targetPort) {
    if (!listener_) throw std::runtime_error("cannot listen on the loopback address");
    thread_ = std::thread([this] { Run(); });
}

TlsStripRelay::~TlsStripRelay() {
    stop_ = true;
    thread_.join();
}

std::string TlsStripRelay::ClientBytesOfEndedConnections(std::size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    ended_.wait(hold, [&] { return endedCount_ >= count; });
    return clientBytes_;
}

void TlsStripRelay::Run() {
    while (!stop_) {
        pollfd listening{listener_.Get(), POLLIN, 0};
        if (::poll(&listening, 1, kPollStepMs) <= 0) continue;
        UniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client) Relay(std::move(client));
        std::lock_guard<std::mutex> hold(lock_);
        ++endedCount_;
        ended_.notify_all();
    }
}

// Relay - one connection, to its end: the greeting rewritten, then bytes both ways as they come.
void TlsStripRelay::Relay(UniqueFd client) {
    UniqueFd server = ConnectTo(targetPort_);
    std::string greeting;
    if (!server || !ReadGreeting(server.Get(), greeting)) return;
    ClearTls(greeting);
    if (!SendAll(client.Get(), greeting)) return;
    while (!stop_) {
        pollfd fds[2] = {{client.Get(), POLLIN, 0}, {server.Get(), POLLIN, 0}};
        if (::poll(fds, 2, kPollStepMs) <= 0) continue;
        for (int side = 0; side < 2; ++side) {
            if (!(fds[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[16 * 1024];
            ssize_t n = ::recv(fds[side].fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            if (side == 0) {
                std::lock_guard<std::mutex> hold(lock_);
                clientBytes_.append(buffer, static_cast<std::size_t>(n));
            }
            if (!SendAll(fds[1 - side].fd, std::string_view(buffer, static_cast<std::size_t>(n)))) return;
        }
    }
}

}  // namespace tessel::test
