#include "support/tcp_proxy.h"

#include "support/loopback.h"

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessel::test {

namespace {

constexpr int kPollStepMs = 20;
constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

// One forwarded connection: the client's socket and the server's.
struct TcpProxy::Pair {
    int Client = -1;
    int Server = -1;
    ~Pair() {
        if (Client >= 0) ::close(Client);
        if (Server >= 0) ::close(Server);
    }
};

TcpProxy::TcpProxy(std::string targetAddress, int targetPort)
    : targetAddress_(std::move(targetAddress)), targetPort_(targetPort) {
    listener_ = Listen(0);
    if (listener_ < 0) throw std::runtime_error("cannot listen on the loopback address");
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TcpProxy::~TcpProxy() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

int TcpProxy::Listen(int port) { return BindLoopback(port, 64); }

void TcpProxy::Down() { Apply(false); }

void TcpProxy::Up() {
    Apply(true);
    std::lock_guard<std::mutex> hold(lock_);
    if (failed_) throw std::runtime_error("the proxy cannot listen on its port again");
}

void TcpProxy::Apply(bool open) {
    std::unique_lock<std::mutex> hold(lock_);
    wantOpen_ = open;
    failed_ = false;
    changed_.wait(hold, [&] { return isOpen_ == open || failed_; });
}

void TcpProxy::Run() {
    std::vector<std::unique_ptr<Pair>> pairs;
    while (!stop_) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (wantOpen_ != isOpen_) {
                if (wantOpen_) {
                    listener_ = Listen(port_);
                    if (listener_ < 0) failed_ = true;
                    else isOpen_ = true;
                } else {
                    ::close(listener_);
                    listener_ = -1;
                    pairs.clear();
                    isOpen_ = false;
                }
                changed_.notify_all();
            }
        }

        std::vector<pollfd> fds;
        fds.push_back({listener_, POLLIN, 0});  // a negative fd is ignored by poll
        const bool frozen = frozen_;
        for (const auto& pair : pairs) {
            // While frozen the pairs are left out of the poll (a negative fd is skipped).
            fds.push_back({frozen ? -1 : pair->Client, POLLIN, 0});
            fds.push_back({frozen ? -1 : pair->Server, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), kPollStepMs) <= 0) continue;
        const std::size_t polled = pairs.size();  // a pair accepted below has no entry in fds yet

        if (listener_ >= 0 && (fds[0].revents & POLLIN)) {
            int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                auto pair = std::make_unique<Pair>();
                pair->Client = client;
                pair->Server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in target{};
                target.sin_family = AF_INET;
                target.sin_port = htons(static_cast<std::uint16_t>(targetPort_));
                ::inet_pton(AF_INET, targetAddress_.c_str(), &target.sin_addr);
                if (pair->Server >= 0 &&
                    ::connect(pair->Server, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
                    pairs.push_back(std::move(pair));
                }
            }
        }

        std::vector<std::unique_ptr<Pair>> alive;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            bool open = true;
            if (i >= polled) {
                alive.push_back(std::move(pairs[i]));
                continue;
            }
            for (int side = 0; side < 2 && open; ++side) {
                const pollfd& p = fds[1 + 2 * i + static_cast<std::size_t>(side)];
                if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
                int from = side == 0 ? pairs[i]->Client : pairs[i]->Server;
                int to = side == 0 ? pairs[i]->Server : pairs[i]->Client;
                char buffer[kChunk];
                ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
                if (n < 0 && errno == EINTR) continue;
                open = n > 0 && SendAll(to, std::string_view(buffer, static_cast<std::size_t>(n)));
            }
            if (open) alive.push_back(std::move(pairs[i]));
        }
        pairs = std::move(alive);
    }
}

}  // namespace tessel::test
