// A peer that sends far more than any reply needs: an EHLO reply with 200,000 AUTH names, a 535
// reply of 64 MB. The session must end or go on at a cost bounded by the caps, not by what the peer
// sends. The time and the growth of peak memory are printed (measured, not asserted: the machine
// may be loaded).
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "session_fixture.h"
#include "support/loopback.h"
#include "util/record_text.h"

namespace tessel::smtp::test {
namespace {

long PeakKilobytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// FloodingPeer - a child process that greets, answers EHLO with flood(), then AUTH with a 64 MB
// 535 reply written a line at a time, and reads until the client closes.
class FloodingPeer {
public:
    explicit FloodingPeer(std::string ehlo) {
        listener_ = tessel::test::BindLoopback(0, 1);
        port_ = tessel::test::BoundPort(listener_);
        pid_ = ::fork();
        if (pid_ == 0) {
            int fd = ::accept(listener_, nullptr, nullptr);
            std::string line(16000, 'x');
            bool ok = SendAll(fd, "220 x\r\n") && Await(fd) && SendAll(fd, ehlo) && Await(fd);
            for (int i = 0; ok && i < 64 * 1024 * 1024 / 16000; ++i) ok = SendAll(fd, "535-" + line + "\r\n");
            if (ok) SendAll(fd, "535 5.7.8 no\r\n");
            char sink[4096];
            while (::read(fd, sink, sizeof sink) > 0) {
            }
            ::_exit(0);
        }
        ::close(listener_);
    }
    ~FloodingPeer() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    int Port() const { return port_; }

private:
    static bool Await(int fd) {
        char c = 0;
        while (::read(fd, &c, 1) == 1) {
            if (c == '\n') return true;
        }
        return false;
    }
    int listener_ = -1;
    int port_ = 0;
    pid_t pid_ = -1;
};

TEST(PeerFloodTest, AnAuthFloodAndA64MegabyteReplyCostOnlyWhatTheCapsAllow) {
    std::string ehlo = "250-x\r\n250-AUTH";
    for (int i = 0; i < 200000; ++i) {
        ehlo += " M" + std::to_string(i);
        if (ehlo.size() % 15000 < 8) ehlo += "\r\n250-AUTH";
    }
    ehlo += " LOGIN\r\n250 OK\r\n";

    const struct {
        const char* name;
        std::string ehlo;
        SessionState endsIn;
    } cases[] = {
        {"200,000 AUTH names", ehlo, SessionState::Hello},  // over the reply cap: ends at EHLO
        {"a 64 MB reply to AUTH", "250-x\r\n250 AUTH LOGIN\r\n", SessionState::Auth},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        long before = PeakKilobytes();
        auto started = std::chrono::steady_clock::now();
        FloodingPeer peer(c.ehlo);
        SmtpAccount account{"127.0.0.1", peer.Port(), "user", "secret", false};
        DeliveryResult result = DeliverMessage({"sender@example.test", {"rcpt@example.test"}},
                                               [](const WriteLineFn&) {}, account, TestTimeouts());
        auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        std::printf("%s: %lld ms, peak memory grew by %ld KiB\n", c.name, static_cast<long long>(elapsed.count()),
                    PeakKilobytes() - before);

        // Past the cap the reply is no reply: the session ends before the transaction.
        EXPECT_FALSE(result.Delivered);
        EXPECT_EQ(result.State, c.endsIn);
        EXPECT_EQ(result.Error, ErrorKind::Connection) << result.Reason;
        EXPECT_LE(result.Reason.size(), 2 * kMaxPeerTextBytes);
    }
}

}  // namespace
}  // namespace tessel::smtp::test
