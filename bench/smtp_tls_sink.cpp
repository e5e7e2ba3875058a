// smtp_tls_sink PORT CERT KEY - an SMTP sink on 127.0.0.1 that offers PIPELINING, STARTTLS and
// AUTH (LOGIN, PLAIN; any credentials pass), accepts every message and prints "mesg=N" after each.
// Prints "ready" once it listens.
//
// A thread per connection. Replies wait until no complete command is left to read, as a
// pipelining server sends them, so a group of commands gets its replies in one write. Written in
// C++ so that the sink's own time stays out of what the benchmarks measure.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "util/unique_fd.h"

namespace {

using tessel::UniqueFd;

struct SslContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslContextFree>;
using Ssl = std::unique_ptr<SSL, SslFree>;

std::atomic<unsigned long> messages{0};
std::mutex outputLock;

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "smtp_tls_sink: %s: %s\n", what, std::strerror(errno));
    ERR_print_errors_fp(stderr);
    std::exit(1);
}

class Session {
public:
    Session(UniqueFd fd, SSL_CTX* context) : fd_(std::move(fd)), context_(context) {}

    void Run() {
        Reply("220 sink.bench ESMTP");
        std::string line;
        while (NextLine(line)) {
            std::string verb = line.substr(0, 4);
            for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (verb == "EHLO") {
                Reply("250-sink.bench");
                Reply("250-PIPELINING");
                Reply("250-AUTH LOGIN PLAIN");
                Reply(ssl_ ? "250 8BITMIME" : "250-8BITMIME");
                if (!ssl_) Reply("250 STARTTLS");
            } else if (verb == "STAR") {
                Reply("220 go ahead");
                if (!Flush() || !StartTls()) return;
            } else if (verb == "AUTH") {
                if (!Authenticate(line)) return;
            } else if (verb == "DATA") {
                Reply("354 go ahead");
                do {
                    if (!NextLine(line)) return;
                } while (line != ".");
                {
                    std::lock_guard<std::mutex> hold(outputLock);
                    std::printf("mesg=%lu\n", ++messages);
                    std::fflush(stdout);
                }
                Reply("250 2.0.0 queued");
            } else if (verb == "QUIT") {
                Reply("221 2.0.0 bye");
                Flush();
                return;
            } else {
                Reply("250 2.0.0 ok");
            }
        }
    }

private:
    void Reply(const char* text) {
        out_ += text;
        out_ += "\r\n";
    }

    // Authenticate - AUTH LOGIN or PLAIN, with or without an initial response; any one passes.
    bool Authenticate(const std::string& command) {
        std::string rest = command.size() > 5 ? command.substr(5) : "";
        std::string::size_type space = rest.find(' ');
        std::string mechanism = rest.substr(0, space);
        bool initial = space != std::string::npos;
        std::string line;
        for (char& c : mechanism) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (mechanism == "LOGIN") {
            if (!initial) {
                Reply("334 VXNlcm5hbWU6");
                if (!NextLine(line)) return false;
            }
            Reply("334 UGFzc3dvcmQ6");
            if (!NextLine(line)) return false;
        } else if (!initial) {
            Reply("334 ");
            if (!NextLine(line)) return false;
        }
        Reply("235 2.7.0 Authentication successful");
        return true;
    }

    bool StartTls() {
        in_.clear();  // nothing sent before the handshake may count after it
        ssl_.reset(SSL_new(context_));
        if (!ssl_ || SSL_set_fd(ssl_.get(), fd_.Get()) != 1) return false;
        return SSL_accept(ssl_.get()) == 1;
    }

    // NextLine - the next command line without its line end; false at the end of the connection.
    // Before it waits for more input, the replies so far go out.
    bool NextLine(std::string& line) {
        for (;;) {
            std::string::size_type end = in_.find('\n');
            if (end != std::string::npos) {
                line.assign(in_, 0, end);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                in_.erase(0, end + 1);
                return true;
            }
            if (!Flush() || !ReadMore()) return false;
        }
    }

    bool ReadMore() {
        char buffer[16384];
        int got = ssl_ ? SSL_read(ssl_.get(), buffer, sizeof buffer)
                       : static_cast<int>(::recv(fd_.Get(), buffer, sizeof buffer, 0));
        if (got <= 0) return false;
        in_.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    bool Flush() {
        std::size_t done = 0;
        while (done < out_.size()) {
            int sent = ssl_ ? SSL_write(ssl_.get(), out_.data() + done, static_cast<int>(out_.size() - done))
                            : static_cast<int>(::send(fd_.Get(), out_.data() + done, out_.size() - done,
                                                      MSG_NOSIGNAL));
            if (sent <= 0) return false;
            done += static_cast<std::size_t>(sent);
        }
        out_.clear();
        return true;
    }

    UniqueFd fd_;
    SSL_CTX* context_;
    Ssl ssl_;
    std::string in_;
    std::string out_;
};

SslContext ServerContext(const char* certificate, const char* key) {
    SslContext context(SSL_CTX_new(TLS_server_method()));
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate_chain_file(context.get(), certificate) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), key, SSL_FILETYPE_PEM) != 1) {
        Die("certificate");
    }
    return context;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: smtp_tls_sink PORT CERT KEY\n");
        return 2;
    }
    SslContext context = ServerContext(argv[2], argv[3]);
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) Die("socket");
    int on = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Die("bind");
    if (::listen(listener.Get(), 256) != 0) Die("listen");
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        int fd = ::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            Die("accept");
        }
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::thread([session = std::make_shared<Session>(UniqueFd(fd), context.get())] { session->Run(); })
            .detach();
    }
}
