#include "smtp/smtp_client.h"

#include <algorithm>
#include <optional>
#include <set>

#include "smtp/auth.h"
#include "smtp/envelope_address.h"
#include "smtp/helo_name.h"
#include "util/ascii.h"
#include "util/host_name.h"

namespace tessel::smtp {

namespace {


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
    const std::string& name = MachineName();
    return name.empty() ? "localhost" : name;
}

bool HasCapability(const std::vector<std::string>& capabilities, std::string_view name) {
    return std::any_of(capabilities.begin(), capabilities.end(),
                       [&](const std::string& line) { return EqualsNoCase(line, name); });
}

std::vector<std::string> AuthMechanisms(const std::vector<std::string>& capabilities) {
    std::vector<std::string> mechanisms;
    std::set<std::string, std::less<>> seen;
    for (const std::string& line : capabilities) {
        if (line.size() < 5 || !EqualsNoCase(std::string_view(line).substr(0, 4), "AUTH") ||
            (line[4] != ' ' && line[4] != '=')) {
            continue;
        }
        std::string rest = UpperCase(std::string_view(line).substr(4));
        if (auto eq = rest.find('='); eq != std::string::npos) {
            rest[eq] = ' ';
        }
        // Only spaces separate the names.
        std::size_t at = 0;
        while (at <= rest.size()) {
            if (mechanisms.size() >= kMaxAuthNames) return mechanisms;
            std::size_t space = std::min(rest.find(' ', at), rest.size());
            std::string word = rest.substr(at, space - at);
            if (!word.empty() && seen.insert(word).second) {
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

// SmtpClient::Step - one command of a transaction and the state it belongs to.
struct SmtpClient::Step {
    SessionState State;
    std::string Command;
};

namespace {

// Accepts - the reply lets the transaction go on from state.
bool Accepts(SessionState state, const SmtpReply& reply) {
    switch (state) {
        case SessionState::Reset: return true;  // a refused RSET says nothing about the message
        case SessionState::RcptTo: return reply.NumericCode == 250 || reply.NumericCode == 251;
        case SessionState::Data: return reply.NumericCode == 354;
        default: return reply.NumericCode == 250;
    }
}

// kClosingChannel - the server is ending the session: no later reply will come.
constexpr int kClosingChannel = 421;

std::string Label(SessionState state, const std::string& command) {
    return state == SessionState::RcptTo ? command : std::string(StateName(state));
}

}  // namespace

DeliveryResult SmtpClient::Deliver(const Envelope& envelope, const MessageText& text) {
    DeliveryResult result = Transact(envelope, text, true);
    if (!result.Delivered) return result;
    DeliveryResult quit = Quit();
    if (quit.Delivered) return result;
    quit.Recipients = std::move(result.Recipients);
    return quit;
}

DeliveryResult SmtpClient::Open() {
    if (account_.Host.empty()) {
        return DeliveryResult::Failure(ErrorKind::Unsupported, SessionState::Connect, "No SMTP server is set");
    }
    if (account_.Port == 0) {
        return DeliveryResult::Failure(ErrorKind::Unsupported, SessionState::Connect, "No SMTP port is set");
    }
    abandoned_ = false;
    textFailed_ = false;
    try {
        OpenSession();
    } catch (...) {
        return Failed(std::current_exception(), {});
    }
    return DeliveryResult::Success();
}

DeliveryResult SmtpClient::Transact(const Envelope& envelope, const MessageText& text, bool lastInSession) {
    if (std::string fault = EnvelopeFault(envelope.Sender, envelope.Recipients); !fault.empty()) {
        return DeliveryResult::Failure(ErrorKind::Address, SessionState::Connect, fault);
    }
    DeliveryResult result;
    result.SessionMessages = messages_;
    for (const std::string& recipient : envelope.Recipients) result.Recipients.push_back({recipient, 0, {}, {}});
    if (!transport_) {
        DeliveryResult opened = Open();
        if (!opened.Delivered) {
            opened.Recipients = std::move(result.Recipients);
            return opened;
        }
    }
    abandoned_ = false;
    textFailed_ = false;
    lastInSession_ = lastInSession;
    try {
        Transaction(envelope, text, result);
    } catch (...) {
        return Failed(std::current_exception(), std::move(result));
    }
    ++messages_;
    return result;
}

void SmtpClient::OpenSession() {
    state_ = SessionState::Connect;
    tlsCheck_ = TlsPeerCheck::ForAccount(account_);
    messages_ = 0;
    quitSent_ = false;
    transport_ = connector_(account_.Host, account_.ConnectPort(), account_.WantsTls(), timeouts_);
    if (account_.ImplicitTls) {
        StartImplicitTls();
    }
    state_ = SessionState::Greeting;
    SmtpReply greeting = ReadReply(DeadlineAfter(timeouts_.Reply));
    if (greeting.NumericCode != 220) {
        throw SmtpReplyError("The greeting", greeting);
    }
    state_ = SessionState::Hello;
    Greet();
    if (account_.UseTls && !account_.ImplicitTls) {
        state_ = SessionState::StartTls;
        SwitchToTls();
    }
    state_ = SessionState::Auth;
    Authenticate();
    state_ = SessionState::Done;
}

// The transaction's commands are the same whether they leave together or one by one; only when
// they are written differs. A refusal is noted with its state; without PIPELINING it ends the
// transaction at once (nothing more was sent), with PIPELINING the replies already asked for are
// still read, and the accepted recipients get the message.
void SmtpClient::Transaction(const Envelope& envelope, const MessageText& text, DeliveryResult& result) {
    const bool pipelined = HasCapability(capabilities_, "PIPELINING");
    std::vector<Step> steps{{SessionState::Reset, "RSET"},
                            {SessionState::MailFrom, "MAIL FROM: <" + envelope.Sender + ">"}};
    for (const std::string& recipient : envelope.Recipients) {
        steps.push_back({SessionState::RcptTo, "RCPT TO:<" + recipient + ">"});
    }
    steps.push_back({SessionState::Data, "DATA"});

    std::optional<SmtpReplyError> refusal;
    SessionState refusedIn = SessionState::Done;
    bool mailAccepted = false;
    bool anyAccepted = false;
    bool dataAccepted = false;
    std::size_t sent = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (sent <= i) {
            sent = pipelined ? steps.size() : i + 1;
            SendSteps(steps, i, sent);
        }
        state_ = steps[i].State;
        SmtpReply reply = ReadReply(DeadlineAfter(timeouts_.Reply));
        const bool accepted = Accepts(state_, reply);
        if (state_ == SessionState::RcptTo) {
            RecipientReply& answer = result.Recipients[i - 2];
            answer.Code = reply.NumericCode;
            answer.Reply = reply.Describe();
            if (reply.EnhancedStatus) answer.EnhancedStatus = reply.EnhancedStatus->Text();
            anyAccepted = anyAccepted || accepted;
        }
        if (state_ == SessionState::MailFrom) mailAccepted = accepted;
        if (state_ == SessionState::Data) dataAccepted = accepted;
        if (accepted) continue;
        if (!refusal || reply.NumericCode == kClosingChannel) {
            refusal.emplace(Label(state_, steps[i].Command), reply);
            refusedIn = state_;
        }
        // Without PIPELINING nothing more was asked; after a 421 no later reply will come.
        if (!pipelined || reply.NumericCode == kClosingChannel) break;
    }
    if (dataAccepted) {
        try {
            DeliverText(text, mailAccepted && anyAccepted, result);
        } catch (const SmtpReplyError& e) {
            // A reply without a valid code is no refusal: the server's state is unknown, only QUIT follows.
            // After a QUIT that left with the "." there is no transaction left to reset.
            if (e.Reply().HasValidCode() && !quitSent_) ResetQuietly();
            throw;
        }
        if (result.Delivered) return;
    }
    if (refusal) {
        state_ = refusedIn;
        // Without PIPELINING a refused MAIL FROM left no transaction to reset.
        if (pipelined || refusedIn > SessionState::MailFrom) ResetQuietly();
        throw *refusal;
    }
    throw SmtpReplyError("The end of the message", lastReply_);
}

void SmtpClient::SendSteps(const std::vector<Step>& steps, std::size_t from, std::size_t to) {
    if (to - from == 1) {
        transport_->WriteLine(steps[from].Command);
        return;
    }
    transport_->BeginBatch();
    for (std::size_t i = from; i < to; ++i) transport_->WriteLine(steps[i].Command);
    transport_->EndBatch();
}

// DeliverText - after a 354: the text and its final ".", then the reply to it. With no recipient
// accepted (a pipelined transaction the server let into its data phase anyway) only the "." is
// sent: nobody would get the text.
void SmtpClient::DeliverText(const MessageText& text, bool anyAccepted, DeliveryResult& result) {
    state_ = SessionState::Text;
    if (!anyAccepted) {
        transport_->WriteLine(".");
        state_ = SessionState::DataEnd;
        ReadDataEndReply();
        return;
    }
    if (!transport_->IsOpen()) {
        // Closed right after its 354: the text would reach nobody, so it is not sent.
        abandoned_ = true;
        throw TransportError("The server closed the connection after its 354 reply");
    }
    SendMessageText(text);
    state_ = SessionState::DataEnd;
    SmtpReply reply = ReadDataEndReply();
    if (reply.NumericCode == 250) {
        result.Delivered = true;
        result.State = SessionState::Done;
        result.FinalReply = reply.Describe();
        return;
    }
    throw SmtpReplyError("The end of the message", reply);
}

// Failed - the facts of a failure in the current state, after the session was ended.
DeliveryResult SmtpClient::Failed(std::exception_ptr error, DeliveryResult facts) {
    facts.Delivered = false;
    facts.State = state_;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        facts.Reason = e.what();
        if (textFailed_) {
            facts.Error = ErrorKind::Text;
        } else {
            try {
                throw;
            } catch (const SmtpReplyError& refusal) {
                bool valid = refusal.Reply().HasValidCode();
                facts.Error = valid ? ErrorKind::Refused : ErrorKind::Connection;
                facts.ReplyCode = valid ? refusal.Reply().NumericCode : 0;
                facts.Reply = refusal.Reply().Describe();
                if (valid && refusal.Reply().EnhancedStatus) facts.EnhancedStatus = refusal.Reply().EnhancedStatus->Text();
            } catch (const WaitStopped&) {
                facts.Error = ErrorKind::Stopped;
                abandoned_ = true;
            } catch (const TransportError&) {
                facts.Error = ErrorKind::Connection;
                abandoned_ = true;
            } catch (const PlatformError&) {
                facts.Error = ErrorKind::Connection;
                abandoned_ = true;
            } catch (const AuthError&) {
                facts.Error = ErrorKind::Unsupported;
            } catch (const OAuthError&) {
                facts.Error = ErrorKind::Unsupported;
            } catch (const std::exception&) {
                facts.Error = ErrorKind::Connection;
            }
        }
    }
    return Abort(std::move(facts));
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
    if (!abandoned_ && (quitSent_ || transport_->IsOpen())) {
        try {
            QuitReply();
        } catch (const std::exception&) {
            // The session has failed already; the outcome of QUIT changes nothing.
        }
    }
    CloseSession();
    return failure;
}

void SmtpClient::CloseSession() noexcept {
    transport_->Close();
    transport_.reset();
    authenticated_ = false;
    quitSent_ = false;
    messages_ = 0;
}

DeliveryResult SmtpClient::Quit() {
    if (!transport_) {
        return DeliveryResult::Success();
    }
    std::optional<DeliveryResult> failure;
    state_ = SessionState::Quit;
    if (quitSent_ || transport_->IsOpen()) {
        try {
            if (SmtpReply reply = QuitReply(); reply.NumericCode != 221) {
                throw SmtpReplyError("QUIT", reply);
            }
        } catch (const WaitStopped&) {
            // The server took the message; only its goodbye was not waited for.
        } catch (const PeerClosed&) {
            // The server closed after taking the message, and the QUIT crossed its close (a server
            // that closes with our QUIT unread resets the connection: the same close).
        } catch (const std::exception& e) {
            failure = DeliveryResult::Failure(ErrorKind::Connection, SessionState::Quit, e.what());
            failure->Reply = ReplyTextOf(e);
        }
    }
    CloseSession();
    return failure ? std::move(*failure) : DeliveryResult::Success();
}

SmtpReply SmtpClient::ReadReply(Deadline deadline) {
    std::vector<std::string> lines;
    lines.push_back(transport_->ReadFirstLine(deadline));
    std::size_t bytes = lines.back().size();
    while (!EndsReply(lines.back())) {
        if (lines.size() >= kMaxReplyLines || bytes > kMaxReplyBytes) {
            throw TransportError("The server's reply is longer than " + std::to_string(kMaxReplyBytes) +
                                 " bytes or " + std::to_string(kMaxReplyLines) + " lines");
        }
        lines.push_back(transport_->ReadLine(deadline));
        bytes += lines.back().size() + 2;
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
        // The final "." leaves in the same write as the message's last lines, and so does the
        // session's QUIT when nothing is to follow and the server takes commands in groups: the
        // message text may open a group and QUIT close it, which saves the session a round trip.
        // The reply to the "." is read first and decides the message as before.
        transport_->WriteLine(".");
        const bool quitWithText = lastInSession_ && HasCapability(capabilities_, "PIPELINING");
        if (quitWithText) transport_->WriteLine("QUIT");
        transport_->EndBatch();
        quitSent_ = quitWithText;
    } catch (...) {
        transport_->DiscardBatch();
        abandoned_ = true;
        throw;
    }
}

SmtpReply SmtpClient::ReadDataEndReply() {
    // Once the final "." has left, the server may be taking the message: a stop does not cut this
    // wait, or the message could be sent again later.
    PatientWaits patient;
    return ReadReply(DeadlineAfter(timeouts_.DataEnd));
}

SmtpReply SmtpClient::QuitReply() {
    if (!quitSent_) transport_->WriteLine("QUIT");
    return ReadReply(DeadlineAfter(timeouts_.Reply));
}

void SmtpClient::ResetQuietly() noexcept {
    try {
        Exchange("RSET", {}, "RSET");
    } catch (const std::exception&) {
        // The transaction has failed already; RSET only tidies up the server's side.
    }
}

}  // namespace tessel::smtp
