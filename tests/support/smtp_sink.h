// A fast SMTP sink for end-to-end tests: accepts connection after connection on 127.0.0.1, stores
// every accepted message and counts its recipients; can stall or break chosen sessions.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessel::test {

// SinkMessage - one accepted message: the envelope and the text (dot-stuffing undone, without ".").
struct SinkMessage {
    std::string MailFrom;
    std::vector<std::string> Recipients;
    std::string Data;
};

// SmtpSink - serves one connection at a time (the service opens one session per message), on its
// own thread, until destroyed. Speaks plain ESMTP: 220, EHLO/HELO, MAIL, RCPT, DATA, RSET, NOOP,
// QUIT; without extensions unless Pipelining is set.
class SmtpSink {
public:
    struct Options {
        // KeepData - store each message's text (off: only the envelope, for large counts).
        bool KeepData = true;
        // Pipelining - EHLO offers PIPELINING (commands are read in order however they arrive).
        bool Pipelining = false;
        // Stall - asked with the 0-based number of each connection; true: greet, then read and
        // answer nothing more until the client gives up and closes.
        std::function<bool(int connection)> Stall;
        // CloseInData - asked with the recipient of each accepted RCPT; true: after the 354 reply,
        // read the first bytes of the message text and close the connection.
        std::function<bool(const std::string& recipient)> CloseInData;
        // Answer - asked with each MAIL FROM and RCPT TO command line as received, and with "." at
        // the end of a message text; a non-empty result is sent as the reply instead of the usual
        // one, and the command (or the message) is then not accepted.
        std::function<std::string(const std::string& command)> Answer;
        // Drop - asked with each MAIL FROM command line; true: close the connection without a reply,
        // as a server that crashes or a network that fails would.
        std::function<bool(const std::string& command)> Drop;
        // OnMessage - runs on the sink's thread when a message's text has arrived, before it is
        // stored and answered with 250.
        std::function<void(const SinkMessage&)> OnMessage;
        // CloseAfterReply - asked after the 250 reply to each stored message; true: the connection is
        // closed, so the next one is served at once whatever its client does (for a client that was
        // frozen while it waited for that reply).
        std::function<bool(const SinkMessage&)> CloseAfterReply;
    };

    // Listens on a free loopback port. Throws std::runtime_error when it cannot.
    SmtpSink();
    explicit SmtpSink(Options options);
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    int Port() const { return port_; }

    // Messages - the stored messages, in order of arrival.
    std::vector<SinkMessage> Messages() const;
    // Count - the number of stored messages.
    std::size_t Count() const;
    // Connections - the number of connections accepted so far.
    int Connections() const { return connections_; }
    // QuitsWithText - the QUITs that had arrived together with a message's final ".".
    int QuitsWithText() const { return quitsWithText_; }
    // RecipientCounts - for each envelope recipient, how many stored messages named it.
    std::map<std::string, int> RecipientCounts() const;
    // WaitForCount - waits until at least count messages are stored or limit has passed; true when
    // they are.
    bool WaitForCount(std::size_t count, std::chrono::milliseconds limit) const;

private:
    class Session;

    void Run();
    void Store(SinkMessage message);
    std::string Answer(const std::string& command) const;

    Options options_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> quitsWithText_{0};
    mutable std::mutex lock_;
    mutable std::condition_variable stored_;
    std::vector<SinkMessage> messages_;
    std::map<std::string, int> recipientCounts_;
    std::thread thread_;
};

}  // namespace tessel::test
