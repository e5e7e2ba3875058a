// A scripted SMTP peer for tests: one connection on 127.0.0.1, canned replies, every byte recorded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessel::test {

// ScriptedSmtpServer - listens on a free loopback port; after Start it accepts one connection and plays
// the steps in order. After the last step (or a mismatch) it only reads and records until the client
// closes. It never speaks TLS: bytes after a STARTTLS are recorded as they come.
class ScriptedSmtpServer {
public:
    // port - the loopback port to listen on; 0: a free one.
    explicit ScriptedSmtpServer(int port = 0);
    ~ScriptedSmtpServer();  // waits for the script thread (the client must have closed or will time out)
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    int Port() const { return port_; }

    // Send - the bytes as they are, in one send.
    ScriptedSmtpServer& Send(std::string bytes);
    // Reply - one reply: the text (lines separated by "\r\n" already) followed by CR LF.
    ScriptedSmtpServer& Reply(const std::string& text) { return Send(text + "\r\n"); }
    // SendSplit - the bytes in segments of the given size, with a short pause after each.
    ScriptedSmtpServer& SendSplit(std::string bytes, std::size_t segment);
    // Expect - reads one line (up to LF); a different line (without CR LF) is recorded as a mismatch.
    ScriptedSmtpServer& Expect(std::string line);
    // ExpectData - reads the message text up to the line "."; kept for Data().
    ScriptedSmtpServer& ExpectData();
    // AwaitBytes - waits until the client has sent at least one more byte.
    ScriptedSmtpServer& AwaitBytes();
    // Pause - waits this long before the next step (a slow or stalled server).
    ScriptedSmtpServer& Pause(std::chrono::milliseconds span);
    // Close - closes the connection.
    ScriptedSmtpServer& Close();
    // Reset - ends the connection with a reset (what a close with unread input sends).
    ScriptedSmtpServer& Reset();
    // AcceptTls - server side of a TLS handshake with the given PEM files; everything after it is
    // read and written over TLS (Received() then holds the decrypted bytes).
    ScriptedSmtpServer& AcceptTls(std::string certFile, std::string keyFile);

    // Start - runs the script on a thread of its own.
    void Start();
    // Join - waits until the script ended and the client closed (or the connection was closed).
    void Join();

    // Received - every byte received, in order.
    std::string Received() const;
    // Data - the message text received by ExpectData, each line with its CR LF, without the ".".
    std::string Data() const;
    // TlsAccepted - the handshake of AcceptTls succeeded.
    bool TlsAccepted() const { return tlsAccepted_; }
    // Mismatches - what differed from the script; empty when the client did exactly as expected.
    std::vector<std::string> Mismatches() const;

private:
    struct Step {
        enum class Kind { Send, Expect, ExpectData, AwaitBytes, Close, Reset, AcceptTls, Pause } What;
        std::string Text;
        std::size_t Segment = 0;
        std::string KeyFile;
    };
    struct TlsState;

    void Run();
    bool Play(int fd, const Step& step);
    // ReadMore - one read into the pending buffer; false at the end of the connection or on stop.
    bool ReadMore(int fd);
    bool ReadLine(int fd, std::string& line);
    bool SendAll(int fd, std::string_view bytes);
    bool Accept(int fd, const Step& step);
    void Mismatch(std::string text);

    int listener_ = -1;
    int port_ = 0;
    std::vector<Step> steps_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> tlsAccepted_{false};
    std::unique_ptr<TlsState> tls_;
    mutable std::mutex lock_;
    std::string received_;
    std::string pending_;  // received and not yet consumed by a step
    std::string data_;
    std::vector<std::string> mismatches_;
};

}  // namespace tessel::test
