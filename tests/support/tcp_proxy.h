// A TCP forwarder on 127.0.0.1 in front of a server, which a test can take down and bring back on
// the same port: to the client, exactly like a server that stops and starts again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tessel::test {

class TcpProxy {
public:
    // Listens on a free loopback port and forwards each connection to target:port (IPv4 address).
    // Throws std::runtime_error when it cannot listen.
    TcpProxy(std::string targetAddress, int targetPort);
    ~TcpProxy();
    TcpProxy(const TcpProxy&) = delete;
    TcpProxy& operator=(const TcpProxy&) = delete;

    int Port() const { return port_; }

    // Down - stops listening (connects are refused) and cuts every forwarded connection; returns
    // once that is done.
    void Down();
    // Up - listens on the same port again; returns once it does. Throws std::runtime_error when
    // the port cannot be bound again.
    void Up();
    // Freeze - stops passing bytes either way while keeping every connection open: a server (or a
    // network) that stops answering without closing anything. Thaw passes bytes again.
    void Freeze() { frozen_ = true; }
    void Thaw() { frozen_ = false; }

private:
    struct Pair;

    void Run();
    int Listen(int port);
    void Apply(bool open);

    std::string targetAddress_;
    int targetPort_;
    int port_ = 0;
    int listener_ = -1;  // used by the proxy thread only, once it runs
    std::atomic<bool> stop_{false};
    std::atomic<bool> frozen_{false};
    std::mutex lock_;
    std::condition_variable changed_;
    bool wantOpen_ = true;
    bool isOpen_ = true;
    bool failed_ = false;
    std::thread thread_;
};

}  // namespace tessel::test
