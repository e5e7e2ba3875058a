#include "support/smtp_sink.h"

#include "support/loopback.h"

#include <cerrno>
#include <stdexcept>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessel::test {

namespace {

// kPollStep - how often a waiting read looks at the stop flag.
constexpr int kPollStepMs = 50;
// kIdleLimit - a client silent this long is dropped, so a broken test cannot hang the suite.
constexpr auto kIdleLimit = std::chrono::seconds(60);
constexpr std::size_t kReceiveChunk = 64 * 1024;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// AngleAddress - the text between the first "<" and the following ">" (the whole rest otherwise).
std::string AngleAddress(std::string_view argument) {
    auto open = argument.find('<');
    if (open == std::string_view::npos) return std::string(argument);
    auto close = argument.find('>', open);
    return std::string(argument.substr(open + 1, close == std::string_view::npos ? close : close - open - 1));
}

}  // namespace

// One client connection: buffered line reading with the stop flag and the idle limit.
class SmtpSink::Session {
public:
    Session(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
    ~Session() { ::close(fd_); }

    bool Reply(std::string_view line) { return SendAll(fd_, std::string(line) + "\r\n"); }

    // ReadLine - one line without its CR LF; false when the client closed or went silent.
    bool ReadLine(std::string& line) {
        for (;;) {
            auto end = pending_.find('\n');
            if (end != std::string::npos) {
                line = pending_.substr(0, end);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending_.erase(0, end + 1);
                return true;
            }
            if (!ReadMore()) return false;
        }
    }

    // ReadMore - one read appended to the pending bytes; false at the end of the connection.
    bool ReadMore() {
        auto giveUp = std::chrono::steady_clock::now() + kIdleLimit;
        while (!stop_ && std::chrono::steady_clock::now() < giveUp) {
            pollfd ready{fd_, POLLIN, 0};
            int n = ::poll(&ready, 1, kPollStepMs);
            if (n < 0 && errno != EINTR) return false;
            if (n <= 0) continue;
            char buffer[kReceiveChunk];
            ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            pending_.append(buffer, static_cast<std::size_t>(got));
            return true;
        }
        return false;
    }

    // ReadData - the message text up to the line "."; dot-stuffing undone. False when cut off.
    bool ReadData(std::string& data) {
        std::string line;
        while (ReadLine(line)) {
            if (line == ".") return true;
            if (!line.empty() && line[0] == '.') line.erase(0, 1);
            data += line;
            data += "\r\n";
        }
        return false;
    }

    // QuitIsPending - the next line already received is QUIT.
    bool QuitIsPending() const { return StartsWithNoCase(pending_, "QUIT\r\n"); }

    // DrainUntilClosed - reads and discards until the client closes (or the limits end it).
    void DrainUntilClosed() {
        while (ReadMore()) pending_.clear();
    }

private:
    int fd_;
    const std::atomic<bool>& stop_;
    std::string pending_;
};

SmtpSink::SmtpSink() : SmtpSink(Options{}) {}

SmtpSink::SmtpSink(Options options) : options_(std::move(options)) {
    listener_ = BindLoopback(0, 64);
    if (listener_ < 0) throw std::runtime_error("cannot listen on the loopback address");
    port_ = BoundPort(listener_);
    thread_ = std::thread([this] { Run(); });
}

SmtpSink::~SmtpSink() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

void SmtpSink::Run() {
    while (!stop_) {
        pollfd ready{listener_, POLLIN, 0};
        if (::poll(&ready, 1, kPollStepMs) <= 0) continue;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Session session(fd, stop_);
        int number = connections_++;
        if (!session.Reply("220 sink.test ESMTP")) continue;
        if (options_.Stall && options_.Stall(number)) {
            session.DrainUntilClosed();
            continue;
        }
        SinkMessage message;
        bool breakInData = false;
        std::string line;
        while (session.ReadLine(line)) {
            std::string_view command(line);
            if (StartsWithNoCase(command, "EHLO") || StartsWithNoCase(command, "HELO")) {
                session.Reply(options_.Pipelining ? "250-sink.test\r\n250 PIPELINING" : "250 sink.test");
            } else if (StartsWithNoCase(command, "MAIL FROM:")) {
                if (options_.Drop && options_.Drop(line)) break;
                message = {};
                breakInData = false;
                if (std::string answer = Answer(line); !answer.empty()) {
                    session.Reply(answer);
                    continue;
                }
                message.MailFrom = AngleAddress(command.substr(10));
                session.Reply("250 2.1.0 Ok");
            } else if (StartsWithNoCase(command, "RCPT TO:")) {
                if (std::string answer = Answer(line); !answer.empty()) {
                    session.Reply(answer);
                    continue;
                }
                std::string recipient = AngleAddress(command.substr(8));
                if (options_.CloseInData && options_.CloseInData(recipient)) breakInData = true;
                message.Recipients.push_back(std::move(recipient));
                session.Reply("250 2.1.5 Ok");
            } else if (StartsWithNoCase(command, "DATA")) {
                session.Reply("354 End data with <CR><LF>.<CR><LF>");
                if (breakInData) {
                    session.ReadMore();
                    break;
                }
                std::string data;
                if (!session.ReadData(data)) break;
                if (session.QuitIsPending()) ++quitsWithText_;
                if (std::string answer = Answer("."); !answer.empty()) {
                    session.Reply(answer);
                    continue;
                }
                if (options_.KeepData) message.Data = std::move(data);
                if (options_.OnMessage) options_.OnMessage(message);
                Store(message);
                session.Reply("250 2.0.0 Stored");
                if (options_.CloseAfterReply && options_.CloseAfterReply(message)) break;
            } else if (StartsWithNoCase(command, "RSET")) {
                message = {};
                session.Reply("250 2.0.0 Ok");
            } else if (StartsWithNoCase(command, "NOOP")) {
                session.Reply("250 2.0.0 Ok");
            } else if (StartsWithNoCase(command, "QUIT")) {
                session.Reply("221 2.0.0 Bye");
                break;
            } else {
                session.Reply("502 5.5.2 Command not recognized");
            }
        }
    }
}

std::string SmtpSink::Answer(const std::string& command) const {
    return options_.Answer ? options_.Answer(command) : std::string();
}

void SmtpSink::Store(SinkMessage message) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::string& recipient : message.Recipients) ++recipientCounts_[recipient];
    messages_.push_back(std::move(message));
    stored_.notify_all();
}

std::vector<SinkMessage> SmtpSink::Messages() const {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
}

std::size_t SmtpSink::Count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_.size();
}

std::map<std::string, int> SmtpSink::RecipientCounts() const {
    std::lock_guard<std::mutex> hold(lock_);
    return recipientCounts_;
}

bool SmtpSink::WaitForCount(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> hold(lock_);
    return stored_.wait_for(hold, limit, [&] { return messages_.size() >= count; });
}

}  // namespace tessel::test
