// delay_proxy LISTEN_PORT TARGET_PORT RTT_MS - a TCP forwarder on 127.0.0.1 that behaves like a
// long network path: every chunk of bytes, the connect and each close reach the other side half
// the round-trip time after they left, in the order they left. Prints "ready" once it listens.
//
// One thread, epoll, and one absolute timerfd on CLOCK_MONOTONIC, so the delay is kept to within
// microseconds; a proxy whose timers round to milliseconds adds its rounding to every exchange and
// hides the dialogue being measured.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <optional>
#include <string>

#include "util/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;
using tessel::UniqueFd;

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "delay_proxy: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void SetNoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// One direction of a connection: what was read, each chunk with the moment it may be delivered;
// a chunk marked end stands for the end of the stream.
struct Direction {
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
        bool end = false;
    };
    std::deque<Chunk> in_flight;
    std::string unsent;  // due, written in part: the socket's buffer was full
    bool read_ended = false;
    bool write_ended = false;
};

struct Pair {
    UniqueFd client;
    UniqueFd server;
    bool connected = false;
    Clock::time_point connect_due;
    Direction up;    // client to server
    Direction down;  // server to client
    bool failed = false;
};

class Proxy {
public:
    Proxy(int listen_port, int target_port, double rtt_ms)
        : target_port_(target_port),
          delay_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double, std::milli>(rtt_ms / 2))) {
        epoll_ = UniqueFd(epoll_create1(EPOLL_CLOEXEC));
        timer_ = UniqueFd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        listener_ = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!epoll_ || !timer_ || !listener_) Die("setup");
        int on = 1;
        setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = Loopback(listen_port);
        if (bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) Die("bind");
        if (listen(listener_.Get(), 256) < 0) Die("listen");
        Watch(listener_.Get(), EPOLLIN, nullptr);
        Watch(timer_.Get(), EPOLLIN, nullptr);
    }

    [[noreturn]] void Run() {
        std::printf("ready\n");
        std::fflush(stdout);
        epoll_event events[64];
        for (;;) {
            int n = epoll_wait(epoll_.Get(), events, 64, -1);
            if (n < 0 && errno != EINTR) Die("epoll_wait");
            for (int i = 0; i < n; ++i) {
                auto* pair = static_cast<Pair*>(events[i].data.ptr);
                if (pair == nullptr) continue;  // listener and timer: handled below
                Service(*pair);
            }
            Accept();
            ServeAll();
        }
    }

private:
    void Watch(int fd, uint32_t events, Pair* pair) {
        epoll_event event{};
        event.events = events;
        event.data.ptr = pair;
        if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) < 0) Die("epoll_ctl");
    }

    void Accept() {
        for (;;) {
            int fd = accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            SetNoDelay(fd);
            Pair& pair = pairs_.emplace_back();
            pair.client = UniqueFd(fd);
            // The connect reaches the server half a round trip later, like a SYN.
            pair.connect_due = Clock::now() + delay_;
            Watch(fd, EPOLLIN | EPOLLOUT | EPOLLET, &pair);
        }
    }

    void StartConnect(Pair& pair) {
        pair.server = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!pair.server) Die("socket");
        SetNoDelay(pair.server.Get());
        sockaddr_in address = Loopback(target_port_);
        if (connect(pair.server.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 &&
            errno != EINPROGRESS) {
            pair.failed = true;
            return;
        }
        pair.connected = true;
        Watch(pair.server.Get(), EPOLLIN | EPOLLOUT | EPOLLET, &pair);
    }

    // Reads all that is there from `from` into `direction`, each chunk due one delay from now.
    void ReadAll(int from, Direction& direction) {
        if (direction.read_ended) return;
        char buffer[65536];
        for (;;) {
            ssize_t got = read(from, buffer, sizeof buffer);
            if (got > 0) {
                direction.in_flight.push_back({Clock::now() + delay_, std::string(buffer, got), false});
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (errno == EINTR) continue;
                return;
            }
            direction.read_ended = true;
            direction.in_flight.push_back({Clock::now() + delay_, {}, true});
            return;
        }
    }

    // Writes what is due from `direction` to `to`; keeps what the socket does not take.
    void WriteDue(int to, Direction& direction, Clock::time_point now) {
        while (!direction.write_ended) {
            if (direction.unsent.empty()) {
                if (direction.in_flight.empty() || direction.in_flight.front().due > now) return;
                Direction::Chunk chunk = std::move(direction.in_flight.front());
                direction.in_flight.pop_front();
                if (chunk.end) {
                    shutdown(to, SHUT_WR);
                    direction.write_ended = true;
                    return;
                }
                direction.unsent = std::move(chunk.bytes);
            }
            ssize_t sent = send(to, direction.unsent.data(), direction.unsent.size(), MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN) direction.write_ended = true;  // the peer is gone
                return;
            }
            direction.unsent.erase(0, static_cast<size_t>(sent));
            if (!direction.unsent.empty()) return;
        }
    }

    void Service(Pair& pair) {
        ReadAll(pair.client.Get(), pair.up);
        if (pair.connected) ReadAll(pair.server.Get(), pair.down);
    }

    void ServeAll() {
        Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> next;
        auto consider = [&next](Clock::time_point due) {
            if (!next || due < *next) next = due;
        };
        for (auto it = pairs_.begin(); it != pairs_.end();) {
            Pair& pair = *it;
            if (!pair.connected && !pair.failed && pair.connect_due <= now) StartConnect(pair);
            if (pair.connected) {
                WriteDue(pair.server.Get(), pair.up, now);
                WriteDue(pair.client.Get(), pair.down, now);
            }
            bool done = pair.failed || (pair.up.write_ended && pair.down.write_ended);
            if (done) {
                it = pairs_.erase(it);  // closing the descriptors takes them out of epoll
                continue;
            }
            if (!pair.connected) consider(pair.connect_due);
            for (Direction* d : {&pair.up, &pair.down}) {
                if (d->unsent.empty() && !d->in_flight.empty()) consider(d->in_flight.front().due);
            }
            ++it;
        }
        Arm(next);
    }

    void Arm(std::optional<Clock::time_point> when) {
        uint64_t expirations;
        while (read(timer_.Get(), &expirations, sizeof expirations) > 0) {
        }
        itimerspec spec{};
        if (when) {
            // steady_clock is CLOCK_MONOTONIC on Linux, so its count is the timer's clock.
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when->time_since_epoch()).count();
            if (ns <= 0) ns = 1;
            spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
            spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        if (timerfd_settime(timer_.Get(), TFD_TIMER_ABSTIME, &spec, nullptr) < 0) Die("timerfd_settime");
    }

    int target_port_;
    Clock::duration delay_;
    UniqueFd epoll_;
    UniqueFd timer_;
    UniqueFd listener_;
    std::list<Pair> pairs_;  // stable addresses: epoll holds pointers to them
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: delay_proxy LISTEN_PORT TARGET_PORT RTT_MS\n");
        return 2;
    }
    // The default timer slack (50 µs) is small beside a 10 ms delay, but there is no reason for it.
    prctl(PR_SET_TIMERSLACK, 1UL);
    Proxy proxy(std::atoi(argv[1]), std::atoi(argv[2]), std::atof(argv[3]));
    proxy.Run();
}
