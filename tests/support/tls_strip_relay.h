// A relay on 127.0.0.1 in front of a MariaDB server that clears the TLS capability in the server's
// greeting, as someone on the path would to read the session, and keeps every byte the client sends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "util/unique_fd.h"

namespace tessel::test {

class TlsStripRelay {
public:
    // Listens on a free loopback port; each connection goes to 127.0.0.1:targetPort. Throws
    // std::runtime_error when it cannot listen.
    explicit TlsStripRelay(int targetPort);
    ~TlsStripRelay();
    TlsStripRelay(const TlsStripRelay&) = delete;
    TlsStripRelay& operator=(const TlsStripRelay&) = delete;

    int Port() const { return port_; }

    // ClientBytesOfEndedConnections - once count connections have ended (both sides closed or one
    // of them gone), everything their clients sent after the greeting, in order.
    std::string ClientBytesOfEndedConnections(std::size_t count);

private:
    void Run();
    void Relay(UniqueFd client);

    UniqueFd listener_;
    int port_ = 0;
    int targetPort_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::condition_variable ended_;
    std::size_t endedCount_ = 0;
    std::string clientBytes_;
    std::thread thread_;
};

}  // namespace tessel::test
