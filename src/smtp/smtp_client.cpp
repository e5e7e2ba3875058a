#include "smtp/smtp_client.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <sys/utsname.h>
#include <unistd.h>

#include "smtp/auth.h"
#include "smtp/envelope_address.h"
#include "smtp/failure_class.h"
#include "smtp/helo_name.h"

namespace tessel::smtp {

namespace {

std::string Upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && Upper(a) == Upper(b);
}

bool Allowed(const SmtpReply& reply, std::initializer_list<int> allowed) {
    return allowed.size() == 0 ||
           std::find(allowed.begin(), allowed.end(), reply.NumericCode) != allowed.end();
}

}  // namespace

std::unique_ptr<LineTransport> ConnectLine(const std::string& host, std::int32_t port, bool useTls,
                                           const SessionTimeouts& timeouts) {
    auto connection = std::make_unique<LineConnection>(timeouts.Write);
    connection->Open(host, port, useTls, DeadlineAfter(timeouts.Connect));
    return connection;
}

std::string LocalHostName() {
    constexpr std::size_t kHostNameBuffer = 250;
    char name[kHostNameBuffer + 1] = {};
    if (::gethostname(name, kHostNameBuffer) == 0 && name[0] != '\0') {
        return std::string(name, ::strnlen(name, kHostNameBuffer));
    }
    utsname node{};
    if (::uname(&node) == 0 && node.nodename[0] != '\0') {
        return std::string(node.nodename, ::strnlen(node.nodename, sizeof node.nodename));
    }
    return "localhost";
}

bool HasCapability(const std::vector<std::string>& capabilities, std::string_view name) {
    return std::any_of(capabilities.begin(), capabilities.end(),
                       [&](const std::string& line) { return EqualsIgnoringCase(line, name); });
}

std::vector<std::string> AuthMechanisms(const std::vector<std::string>& capabilities) {
    std::vector<std::string> mechanisms;
    for (const std::string& line : capabilities) {
        if (line.size() < 5 || !EqualsIgnoringCase(std::string_view(line).substr(0, 4), "AUTH") ||
            (line[4] != ' ' && line[4] != '=')) {
            continue;
        }
        std::string rest = Upper(std::string_view(line).substr(4));
        if (auto eq = rest.find('='); eq != std::string::npos) {
            rest[eq] = ' ';
        }
        // Only spaces separate the names.
        std::size_t at = 0;
        while (at <= rest.size()) {
            std::size_t space = std::min(rest.find(' ', at), rest.size());
            std::string word = rest.substr(at, space - at);
            if (!word.empty() && std::find(mechanisms.begin(), mechanisms.end(), word) == mechanisms.end()) {
                mechanisms.push_back(std::move(word));
            }
            at = space + 1;
        }
    }
    return mechanisms;
}

SmtpClient::SmtpClient(SmtpAccount account, SessionTimeouts timeouts, TransportConnector connector)
    : account_(std::move(account)),
      timeouts_(timeouts),
      connector_(std::move(connector)),
      heloName_(HeloName(account_)) {}

SmtpClient::~SmtpClient() {
    if (transport_) {
        transport_->Close();
    }
}

namespace {

// ConnectionLost - the failure left the connection unusable (an expired wait, a close, a reset, a
// stop): a QUIT would only wait for a reply that cannot come.
bool ConnectionLost(const std::exception& error) {
    return dynamic_cast<const TransportError*>(&error) != nullptr ||
           dynamic_cast<const PlatformError*>(&error) != nullptr;
}

}  // namespace

DeliveryResult SmtpClient::Deliver(const Envelope& envelope, const MessageText& text) {
    DeliveryResult result = Transact(envelope, text);
    return result.Delivered ? Quit() : result;
}

DeliveryResult SmtpClient::Transact(const Envelope& envelope, const MessageText& text) {
    if (std::string fault = EnvelopeFault(envelope.Sender, envelope.Recipients); !fault.empty()) {
        return DeliveryResult::Failure(FailureStage::Address, fault);
    }
    if (account_.Host.empty()) {
        return DeliveryResult::Failure(FailureStage::Session, "No SMTP server is set");
    }
    if (account_.Port == 0) {
        return DeliveryResult::Failure(FailureStage::Session, "No SMTP port is set");
    }

    phase_ = SessionPhase::BeforeTransaction;
    abandoned_ = false;
    textFailed_ = false;
    try {
        if (!transport_) {
            tlsCheck_ = TlsPeerCheck::ForAccount(account_);
            transport_ = connector_(account_.Host, account_.Port, account_.WantsTls(), timeouts_);
            OpenSession();
        }
        Transaction(envelope, text);
    } catch (const std::exception& e) {
        abandoned_ = abandoned_ || ConnectionLost(e);
        DeliveryResult failure = ClassifyFailure(e, phase_, textFailed_);
        failure.Reply = ReplyTextOf(e);
        return Abort(std::move(failure));
    }
    return DeliveryResult::Success();
}

void SmtpClient::OpenSession() {
    if (account_.ImplicitTls) {
        StartImplicitTls();
    }
    SmtpReply greeting = ReadReply(DeadlineAfter(timeouts_.Reply));
    if (greeting.NumericCode != 220) {
        throw SmtpReplyError("The greeting", greeting);
    }
    Greet();
    if (account_.UseTls && !account_.ImplicitTls) {
        SwitchToTls();
    }
    Authenticate();
}

void SmtpClient::Transaction(const Envelope& envelope, const MessageText& text) {
    if (HasCapability(capabilities_, "PIPELINING")) {
        PipelinedTransaction(envelope, text);
    } else {
        PlainTransaction(envelope, text);
    }
}

bool SmtpClient::Idle() {
    return transport_ && transport_->IsOpen() && !transport_->HasPendingInput();
}

DeliveryResult SmtpClient::Abort(DeliveryResult failure) {
    if (!transport_) {
        return failure;
    }
    // A message that broke off leaves the server reading message text: a QUIT would be taken as
    // text and never answered, so the connection is simply closed (the message is not delivered).
    // The same goes for a connection that timed out or broke.
    if (!abandoned_ && transport_->IsOpen()) {
        try {
            transport_->WriteLine("QUIT");
            ReadReply(DeadlineAfter(timeouts_.Reply));
        } catch (const std::exception&) {
            // The session has failed already; the outcome of QUIT changes nothing.
        }
    }
    transport_->Close();
    transport_.reset();
    authenticated_ = false;
    return failure;
}

DeliveryResult SmtpClient::Quit() {
    if (!transport_) {
        return DeliveryResult::Success();
    }
    std::optional<DeliveryResult> failure;
    if (transport_->IsOpen()) {
        try {
            Exchange("QUIT", {221}, "QUIT");
        } catch (const WaitStopped&) {
            // The server took the message; only its goodbye was not waited for.
        } catch (const std::exception& e) {
            failure = DeliveryResult::Failure(FailureStage::Transaction, e.what());
            failure->Reply = ReplyTextOf(e);
        }
    }
    transport_->Close();
    transport_.reset();
    authenticated_ = false;
    return failure ? std::move(*failure) : DeliveryResult::Success();
}

SmtpReply SmtpClient::ReadReply(Deadline deadline) {
    std::vector<std::string> lines;
    lines.push_back(transport_->ReadFirstLine(deadline));
    while (!EndsReply(lines.back())) {
        if (lines.size() >= kMaxReplyLines) {
            throw TransportError("The server's reply has too many lines");
        }
        lines.push_back(transport_->ReadLine(deadline));
    }
    lastReply_ = ParseReply(lines);
    if (!lastReply_.HasValidCode()) {
        throw SmtpReplyError("The server", lastReply_);
    }
    return lastReply_;
}

SmtpReply SmtpClient::Exchange(const std::string& command, std::initializer_list<int> allowed,
                               std::string_view label) {
    transport_->WriteLine(command);
    SmtpReply reply = ReadReply(DeadlineAfter(timeouts_.Reply));
    if (!Allowed(reply, allowed)) {
        throw SmtpReplyError(label, reply);
    }
    return reply;
}

void SmtpClient::Greet() {
    capabilities_.clear();
    SmtpReply reply = Exchange("EHLO " + heloName_, {}, "EHLO");
    if (reply.NumericCode == 250) {
        capabilities_.assign(reply.TextLines.begin() + 1, reply.TextLines.end());
        return;
    }
    Exchange("HELO " + heloName_, {250}, "HELO");
}

void SmtpClient::SwitchToTls() {
    if (!HasCapability(capabilities_, "STARTTLS")) {
        throw TlsError("The server does not offer STARTTLS");
    }
    SmtpReply reply = Exchange("STARTTLS", {}, "STARTTLS");
    if (reply.NumericCode != 220) {
        throw SmtpReplyError("STARTTLS", reply);
    }
    transport_->StartTls(DeadlineAfter(timeouts_.Reply), tlsCheck_);
    // Only what the server says over TLS counts: a fresh EHLO and capability list.
    Greet();
}

void SmtpClient::StartImplicitTls() {
    try {
        transport_->StartTls(DeadlineAfter(timeouts_.Reply), tlsCheck_);
    } catch (...) {
        // A port that speaks TLS from the first byte gets no plain-text QUIT.
        transport_->Close();
        throw;
    }
}

void SmtpClient::Authenticate() {
    if (authenticated_ || account_.UserName.empty()) {
        return;
    }
    SmtpExchange exchange = [this](const std::string& command, std::initializer_list<int> allowed,
                                   std::string_view label) { return Exchange(command, allowed, label); };
    authenticated_ = AuthenticateSession(exchange, AuthMechanisms(capabilities_), account_, timeouts_.Token);
}

void SmtpClient::PlainTransaction(const Envelope& envelope, const MessageText& text) {
    Exchange("RSET", {}, "RSET");
    phase_ = SessionPhase::InTransaction;
    Exchange("MAIL FROM: <" + envelope.Sender + ">", {250}, "MAIL FROM");
    try {
        for (const std::string& recipient : envelope.Recipients) {
            Exchange("RCPT TO:<" + recipient + ">", {250, 251}, "RCPT TO:<" + recipient + ">");
        }
        Exchange("DATA", {354}, "DATA");
        SendMessageText(text);
        SmtpReply reply = ReadDataEndReply();
        if (reply.NumericCode != 250) {
            throw SmtpReplyError("The end of the message", reply);
        }
    } catch (const SmtpReplyError& refusal) {
        // A reply without a valid code is no refusal: the server's state is unknown, only QUIT follows.
        if (refusal.Reply().HasValidCode()) {
            ResetQuietly();
        }
        throw;
    }
}

void SmtpClient::PipelinedTransaction(const Envelope& envelope, const MessageText& text) {
    phase_ = SessionPhase::InTransaction;
    transport_->BeginBatch();
    transport_->WriteLine("RSET");
    transport_->WriteLine("MAIL FROM: <" + envelope.Sender + ">");
    for (const std::string& recipient : envelope.Recipients) {
        transport_->WriteLine("RCPT TO:<" + recipient + ">");
    }
    transport_->WriteLine("DATA");
    transport_->EndBatch();

    std::optional<SmtpReplyError> firstFailure;
    auto check = [&](std::string_view label, std::initializer_list<int> allowed, SmtpReply reply) {
        if (!Allowed(reply, allowed) && !firstFailure) {
            firstFailure.emplace(label, reply);
        }
        return reply;
    };
    auto next = [&] { return ReadReply(DeadlineAfter(timeouts_.Reply)); };
    check("RSET", {250}, next());
    check("MAIL FROM", {250}, next());
    for (const std::string& recipient : envelope.Recipients) {
        check("RCPT TO:<" + recipient + ">", {250, 251}, next());
    }
    SmtpReply data = check("DATA", {354}, next());
    if (data.NumericCode == 354) {
        // Accepted recipients get the message even when another one was refused.
        SendMessageText(text);
        check("The end of the message", {250}, ReadDataEndReply());
    }
    if (firstFailure) {
        ResetQuietly();
        throw *firstFailure;
    }
}

void SmtpClient::SendMessageText(const MessageText& text) {
    // The lines go into the open batch, which leaves in writes of bounded size.
    LineTransport& transport = *transport_;
    bool connectionFailed = false;
    WriteLineFn writeLine = [&transport, &connectionFailed](std::string_view line) {
        try {
            transport.WriteLine(line);
            if (transport.BatchSize() >= kDataFlushBytes) {
                transport.FlushBatch();
            }
        } catch (...) {
            connectionFailed = true;
            throw;
        }
    };
    transport_->BeginBatch();
    try {
        try {
            text(writeLine);
        } catch (...) {
            textFailed_ = !connectionFailed;
            throw;
        }
        // The final "." leaves in the same write as the message's last lines.
        transport_->WriteLine(".");
        transport_->EndBatch();
    } catch (...) {
        transport_->DiscardBatch();
        abandoned_ = true;
        throw;
    }
    phase_ = SessionPhase::AwaitingDataEnd;
}

SmtpReply SmtpClient::ReadDataEndReply() {
    // Once the final "." has left, the server may be taking the message: a stop does not cut this
    // wait, or the message could be sent again later.
    PatientWaits patient;
    return ReadReply(DeadlineAfter(timeouts_.DataEnd));
}

void SmtpClient::ResetQuietly() noexcept {
    try {
        Exchange("RSET", {}, "RSET");
    } catch (const std::exception&) {
        // The transaction has failed already; RSET only tidies up the server's side.
    }
}

}  // namespace tessel::smtp
