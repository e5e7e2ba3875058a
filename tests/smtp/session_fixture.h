// Helpers shared by the SMTP session tests: a message, its rendered text, a recording connection.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/send_email.h"
#include "mime/render.h"
#include "smtp/deliver.h"
#include "support/delivery_facts.h"
#include "support/scripted_smtp_server.h"

namespace tessel::smtp::test {

using namespace std::chrono_literals;
using tessel::test::ClassOf;
using tessel::test::FailureClass;
using mime::LineWriter;
using mime::OutgoingMessage;
using mime::RenderMessage;

// DeliverMessage - a composed message through the mail layer, with the account given piece by piece.
inline DeliveryResult DeliverMessage(const OutgoingMessage& message, const std::string& host,
                                     const std::string& user, const std::string& password, std::int32_t port,
                                     bool useTls, const SessionTimeouts& timeouts = {},
                                     const TransportConnector& connector = ConnectLine) {
    return mail::DeliverMessage(message, SmtpAccount{host, port, user, password, useTls}, timeouts, connector);
}

// Short bounds for the tests that stall on purpose; the others never come near them.
inline SessionTimeouts TestTimeouts(std::chrono::milliseconds reply = 20s) {
    return SessionTimeouts{20s, reply, 20s, 20s};
}

inline OutgoingMessage PlainMessage() {
    OutgoingMessage message;
    message.From = {"Sender Name", "sender@example.test"};
    message.Sender = message.From;
    message.Recipients = {{"", "rcpt@example.test"}};
    message.Subject = "Hello";
    message.Body = mime::BodyText::FromLines({"First line", ".starts with a dot", "", "last"});
    return message;
}

inline std::string Ehlo() {
    return "EHLO " + LocalHostName();
}

// StringWriter - collects what the renderer writes, CR LF after every line.
class StringWriter : public LineWriter {
public:
    void WriteLine(std::string_view line) override {
        Text.append(line);
        Text.append("\r\n");
    }
    std::string Text;
};

// WithoutDate - the text without its Date header line, which changes from second to second.
inline std::string WithoutDate(const std::string& text) {
    std::string result;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + at, end - at);
        if (line.substr(0, 6) != "Date: ") {
            result.append(line);
        }
        at = end;
    }
    return result;
}

inline std::string Rendered(const OutgoingMessage& message) {
    StringWriter writer;
    RenderMessage(message, writer);
    return writer.Text;
}

// RecordingTransport - passes everything to the real connection and notes each block that left in
// one write; an optional hook runs before every is-open test.
class RecordingTransport : public LineTransport {
public:
    RecordingTransport(std::unique_ptr<LineTransport> inner, std::vector<std::string>& writes,
                       std::function<void()> beforeIsOpen)
        : inner_(std::move(inner)), writes_(writes), beforeIsOpen_(std::move(beforeIsOpen)) {}

    std::string ReadLine(Deadline deadline) override { return inner_->ReadLine(deadline); }
    std::string ReadFirstLine(Deadline deadline) override { return inner_->ReadFirstLine(deadline); }
    void WriteLine(std::string_view text) override {
        inner_->WriteLine(text);
        if (batching_) {
            pending_ += std::string(text) + "\r\n";
        } else {
            writes_.push_back(std::string(text) + "\r\n");
        }
    }
    void BeginBatch() override {
        inner_->BeginBatch();
        batching_ = true;
    }
    void FlushBatch() override {
        inner_->FlushBatch();
        Note();
    }
    void EndBatch() override {
        batching_ = false;
        Note();
        inner_->EndBatch();
    }
    void DiscardBatch() noexcept override {
        batching_ = false;
        pending_.clear();
        inner_->DiscardBatch();
    }
    std::size_t BatchSize() const override { return inner_->BatchSize(); }
    bool HasPendingInput() const override { return inner_->HasPendingInput(); }
    bool IsOpen() override {
        if (beforeIsOpen_) {
            beforeIsOpen_();
        }
        return inner_->IsOpen();
    }
    void StartTls(Deadline deadline, const TlsPeerCheck& check) override { inner_->StartTls(deadline, check); }
    void Close() noexcept override { inner_->Close(); }

private:
    void Note() {
        if (!pending_.empty()) {
            writes_.push_back(std::move(pending_));
            pending_.clear();
        }
    }
    std::unique_ptr<LineTransport> inner_;
    std::vector<std::string>& writes_;
    std::function<void()> beforeIsOpen_;
    bool batching_ = false;
    std::string pending_;
};

// Session - one delivery against a scripted server, with what left in each write.
struct Session {
    tessel::test::ScriptedSmtpServer Server;
    std::vector<std::string> Writes;
    std::vector<std::int32_t> Ports;
    std::function<void()> BeforeIsOpen;

    DeliveryResult Deliver(const OutgoingMessage& message, const std::string& user = "",
                           const std::string& password = "", bool useTls = false,
                           SessionTimeouts timeouts = TestTimeouts()) {
        return DeliverAs(message, SmtpAccount{"127.0.0.1", 2525, user, password, useTls}, timeouts);
    }

    // DeliverAs - the same with the whole account (its host and port are those of the server).
    DeliveryResult DeliverAs(const OutgoingMessage& message, const SmtpAccount& account,
                             SessionTimeouts timeouts = TestTimeouts()) {
        Server.Start();
        TransportConnector connector = [this](const std::string& host, std::int32_t port, bool tls,
                                              const SessionTimeouts& t) -> std::unique_ptr<LineTransport> {
            Ports.push_back(port);
            return std::make_unique<RecordingTransport>(ConnectLine(host, Server.Port(), tls, t), Writes,
                                                        BeforeIsOpen);
        };
        DeliveryResult result = mail::DeliverMessage(message, account, timeouts, connector);
        Server.Join();
        return result;
    }
};

}  // namespace tessel::smtp::test
