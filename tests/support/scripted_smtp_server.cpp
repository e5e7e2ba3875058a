#include "support/scripted_smtp_server.h"

#include "support/loopback.h"

#include <cerrno>
#include <csignal>
#include <chrono>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

namespace tessel::test {

namespace {

// kSafetyLimit - a script left waiting this long gives up, so a broken test cannot hang the suite.
constexpr auto kSafetyLimit = std::chrono::seconds(60);
constexpr auto kSegmentPause = std::chrono::milliseconds(2);


}  // namespace

struct ScriptedSmtpServer::TlsState {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> Context{nullptr, SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> Connection{nullptr, SSL_free};
};

ScriptedSmtpServer::ScriptedSmtpServer(int port) {
    listener_ = BindLoopback(port, 4);
    if (listener_ < 0) {
        throw std::runtime_error("cannot listen on the loopback address");
    }
    port_ = BoundPort(listener_);
}

ScriptedSmtpServer::~ScriptedSmtpServer() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    ::close(listener_);
}

ScriptedSmtpServer& ScriptedSmtpServer::Send(std::string bytes) {
    steps_.push_back({Step::Kind::Send, std::move(bytes), 0, {}});
    return *this;
}

ScriptedSmtpServer& ScriptedSmtpServer::SendSplit(std::string bytes, std::size_t segment) {
    steps_.push_back({Step::Kind::Send, std::move(bytes), segment, {}});
    return *this;
}

ScriptedSmtpServer& ScriptedSmtpServer::Expect(std::string line) {
    steps_.push_back({Step::Kind::Expect, std::move(line), 0, {}});
    return *this;
}

ScriptedSmtpServer& ScriptedSmtpServer::ExpectData() {
    steps_.push_back({Step::Kind::ExpectData, {}, 0, {}});
    return *this;
}

ScriptedSmtpServer& ScriptedSmtpServer::Pause(std::chrono::milliseconds span) {
    steps_.push_back({Step::Kind::Pause, {}, static_cast<std::size_t>(span.count()), {}});
    return *this;
}

ScriptedSmtpServer& ScriptedSmtpServer::AwaitBytes() {
    steps_.push_back({Step::Kind::AwaitBytes, {}, 0, {}});
    return *this;
}

ScriptedSmtpServer& ScriptedSmtpServer::AcceptTls(std::string certFile, std::string keyFile) {
    Step step{Step::Kind::AcceptTls, std::move(certFile), 0, {}};
    step.KeyFile = std::move(keyFile);
    steps_.push_back(std::move(step));
    return *this;
}

bool ScriptedSmtpServer::SendAll(int fd, std::string_view bytes) {
    if (!tls_) {
        return test::SendAll(fd, bytes);
    }
    while (!bytes.empty()) {
        std::size_t written = 0;
        if (SSL_write_ex(tls_->Connection.get(), bytes.data(), bytes.size(), &written) != 1) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

bool ScriptedSmtpServer::Accept(int fd, const Step& step) {
    auto state = std::make_unique<TlsState>();
    state->Context.reset(SSL_CTX_new(TLS_server_method()));
    if (!state->Context ||
        SSL_CTX_use_certificate_chain_file(state->Context.get(), step.Text.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(state->Context.get(), step.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        Mismatch("the test certificate cannot be loaded");
        return false;
    }
    state->Connection.reset(SSL_new(state->Context.get()));
    SSL_set_fd(state->Connection.get(), fd);
    if (SSL_accept(state->Connection.get()) != 1) {
        ERR_clear_error();
        Mismatch("the TLS handshake failed");
        return false;
    }
    tls_ = std::move(state);
    tlsAccepted_ = true;
    return true;
}

ScriptedSmtpServer& ScriptedSmtpServer::Close() {
    steps_.push_back({Step::Kind::Close, {}, 0, {}});
    return *this;
}

ScriptedSmtpServer& ScriptedSmtpServer::Reset() {
    steps_.push_back({Step::Kind::Reset, {}, 0, {}});
    return *this;
}

void ScriptedSmtpServer::Start() {
    thread_ = std::thread([this] { Run(); });
}

void ScriptedSmtpServer::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string ScriptedSmtpServer::Received() const {
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

std::string ScriptedSmtpServer::Data() const {
    std::lock_guard<std::mutex> guard(lock_);
    return data_;
}

std::vector<std::string> ScriptedSmtpServer::Mismatches() const {
    std::lock_guard<std::mutex> guard(lock_);
    return mismatches_;
}

void ScriptedSmtpServer::Mismatch(std::string text) {
    std::lock_guard<std::mutex> guard(lock_);
    mismatches_.push_back(std::move(text));
}

bool ScriptedSmtpServer::ReadMore(int fd) {
    auto giveUp = std::chrono::steady_clock::now() + kSafetyLimit;
    while (!stop_ && std::chrono::steady_clock::now() < giveUp) {
        bool buffered = tls_ && SSL_pending(tls_->Connection.get()) > 0;
        pollfd p{fd, POLLIN, 0};
        if (!buffered && ::poll(&p, 1, 50) <= 0) {
            continue;
        }
        char buffer[65536];
        ssize_t got;
        if (tls_) {
            std::size_t count = 0;
            got = SSL_read_ex(tls_->Connection.get(), buffer, sizeof buffer, &count) == 1
                      ? static_cast<ssize_t>(count)
                      : 0;
            ERR_clear_error();
        } else {
            got = ::recv(fd, buffer, sizeof buffer, 0);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        std::lock_guard<std::mutex> guard(lock_);
        received_.append(buffer, static_cast<std::size_t>(got));
        pending_.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
    return false;
}

bool ScriptedSmtpServer::ReadLine(int fd, std::string& line) {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto lf = pending_.find('\n');
            if (lf != std::string::npos) {
                line = pending_.substr(0, lf + 1);
                pending_.erase(0, lf + 1);
                return true;
            }
        }
        if (!ReadMore(fd)) {
            return false;
        }
    }
}

bool ScriptedSmtpServer::Play(int fd, const Step& step) {
    switch (step.What) {
    case Step::Kind::Send:
        if (step.Segment == 0) {
            return SendAll(fd, step.Text);
        }
        for (std::size_t at = 0; at < step.Text.size(); at += step.Segment) {
            if (!SendAll(fd, std::string_view(step.Text).substr(at, step.Segment))) {
                return false;
            }
            std::this_thread::sleep_for(kSegmentPause);
        }
        return true;
    case Step::Kind::Expect: {
        std::string line;
        if (!ReadLine(fd, line)) {
            Mismatch("expected \"" + step.Text + "\", got the end of the connection");
            return false;
        }
        if (line != step.Text + "\r\n") {
            Mismatch("expected \"" + step.Text + "\", got \"" + line + "\"");
        }
        return true;
    }
    case Step::Kind::ExpectData: {
        std::string line;
        std::string text;
        while (ReadLine(fd, line)) {
            if (line == ".\r\n") {
                std::lock_guard<std::mutex> guard(lock_);
                data_ = text;
                return true;
            }
            text += line;
        }
        Mismatch("the message text did not end with \".\"");
        return false;
    }
    case Step::Kind::AwaitBytes: {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!pending_.empty()) {
                pending_.clear();
                return true;
            }
        }
        bool more = ReadMore(fd);
        std::lock_guard<std::mutex> guard(lock_);
        pending_.clear();
        return more;
    }
    case Step::Kind::Close:
        return false;
    case Step::Kind::Reset: {
        linger now{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        return false;
    }
    case Step::Kind::Pause:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.Segment));
        return true;
    case Step::Kind::AcceptTls:
        return Accept(fd, step);
    }
    return false;
}

void ScriptedSmtpServer::Run() {
    // A client that has gone makes a TLS write raise SIGPIPE; it is held back on this thread only.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    int fd = -1;
    auto giveUp = std::chrono::steady_clock::now() + kSafetyLimit;
    while (!stop_ && std::chrono::steady_clock::now() < giveUp) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            break;
        }
    }
    if (fd < 0) {
        Mismatch("no connection");
        return;
    }
    int one = 1;  // replies leave as they are scripted, split or whole
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool open = true;
    for (const Step& step : steps_) {
        if (!Play(fd, step)) {
            open = false;
            break;
        }
    }
    if (open) {
        while (ReadMore(fd)) {
        }
    }
    if (tls_) {
        SSL_shutdown(tls_->Connection.get());
        tls_.reset();
    }
    ::close(fd);
}

}  // namespace tessel::test
