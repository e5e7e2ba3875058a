// The SMTP session: TLS from the first byte or after STARTTLS, greeting, EHLO/HELO, AUTH, the mail
// transaction and QUIT.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "smtp/delivery_result.h"
#include "smtp/line_connection.h"
#include "smtp/oauth_token.h"
#include "smtp/smtp_account.h"
#include "smtp/smtp_reply.h"
#include "smtp/tls_peer_check.h"

namespace tessel::smtp {

// SessionTimeouts - bounds of the waits on the SMTP connection: the connect, every reply (one
// deadline for the whole reply; the TLS handshake has the same bound), the reply to the final ".",
// and every write; and the request for an OAuth token.
struct SessionTimeouts {
    std::chrono::milliseconds Connect{60000};
    std::chrono::milliseconds Reply{300000};
    std::chrono::milliseconds DataEnd{600000};
    std::chrono::milliseconds Write{300000};
    TokenTimeouts Token{};
};

// kDataFlushBytes - the message text leaves in writes of about this size.
inline constexpr std::size_t kDataFlushBytes = 64 * 1024;
// kMaxReplyLines - a reply with more lines than this is not a reply.
inline constexpr std::size_t kMaxReplyLines = 4096;
// kMaxReplyBytes - nor is one longer than this (an EHLO reply included).
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;
// kMaxAuthNames - AUTH names beyond this many are not looked at.
inline constexpr std::size_t kMaxAuthNames = 64;

// TransportConnector - opens the connection of one session. Throws on failure.
using TransportConnector = std::function<std::unique_ptr<LineTransport>(
    const std::string& host, std::int32_t port, bool useTls, const SessionTimeouts& timeouts)>;

// ConnectLine - the real connector: a LineConnection (TLS-capable when useTls) opened within the
// connect timeout. Throws TransportError, PlatformError or TlsError.
std::unique_ptr<LineTransport> ConnectLine(const std::string& host, std::int32_t port, bool useTls,
                                           const SessionTimeouts& timeouts);

// LocalHostName - the name announced in EHLO/HELO: the host name, else the node name, else
// "localhost"; read at the first call and kept for the process's life.
std::string LocalHostName();

// HasCapability - a capability line equal to name, letter case ignored.
bool HasCapability(const std::vector<std::string>& capabilities, std::string_view name);

// AuthMechanisms - the mechanism names of the AUTH lines ("AUTH " or "AUTH=" at the start, any case),
// upper case, split at spaces only, without repeats, in order of appearance; at most kMaxAuthNames.
std::vector<std::string> AuthMechanisms(const std::vector<std::string>& capabilities);

// Envelope - the addresses of one transaction exactly as MAIL FROM and RCPT TO name them.
struct Envelope {
    std::string Sender;
    std::vector<std::string> Recipients;
};

// WriteLineFn - sends one line of the message text followed by CR LF; throws when the connection
// breaks. MessageText - writes the whole text (dot-stuffed, without the final ".") through it.
using WriteLineFn = std::function<void(std::string_view line)>;
using MessageText = std::function<void(const WriteLineFn& writeLine)>;

// SmtpClient - one SMTP session, run as one state machine (SessionState): connect, greeting,
// EHLO/HELO, STARTTLS, AUTH, then transactions (RSET, MAIL FROM, RCPT TO, DATA, text, end of
// message), QUIT. With PIPELINING the transaction's commands leave in one write and the replies are
// read in the same order; without it, each command waits for its reply. Results are facts
// (DeliveryResult): the state a failure happened in, the reply or the kind of error, and the reply
// to each RCPT TO; what they mean for the message is not decided here.
class SmtpClient {
public:
    SmtpClient(SmtpAccount account, SessionTimeouts timeouts, TransportConnector connector = ConnectLine);
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // Deliver - connects, runs the whole dialogue and closes: Transact, then Quit when the message
    // was taken. Address (without connecting) when an envelope address holds a byte not allowed
    // there (EnvelopeAddressFault). Never throws for a failed delivery.
    DeliveryResult Deliver(const Envelope& envelope, const MessageText& text);

    // Transact - one mail transaction (from its RSET to the reply to the final "."), on the open
    // session or on a new one (Open). Delivered when the final "." got 250: every recipient whose
    // RCPT TO was accepted has the message, and the session stays open for the next transaction.
    // Otherwise the session ends (QUIT unless the connection is lost or the server is still in its
    // data phase). Never throws for a failed delivery. lastInSession: the session ends after this
    // transaction; with PIPELINING its QUIT then leaves with the final "." (Quit reads its reply).
    DeliveryResult Transact(const Envelope& envelope, const MessageText& text, bool lastInSession = false);
    // Open - connect, greeting, EHLO/HELO, STARTTLS, AUTH, unless a session is open: Delivered when
    // the session is ready for a transaction; else the facts of the failure (the session closed).
    DeliveryResult Open();
    // Quit - ends the open session with QUIT (221 expected) and closes; Success when none is open.
    DeliveryResult Quit();
    // Idle - a session is open, the server has not closed it and has sent nothing unasked (such as
    // a 421 before closing an idle session): the next transaction may use it.
    bool Idle();
    // Messages - the messages the open session has carried (0 when none is open).
    std::int32_t Messages() const { return messages_; }

    // Capabilities - the text lines of the last EHLO reply after its first line.
    const std::vector<std::string>& Capabilities() const { return capabilities_; }
    // LastReply - the last reply read.
    const SmtpReply& LastReply() const { return lastReply_; }

private:
    struct Step;

    void OpenSession();
    void Transaction(const Envelope& envelope, const MessageText& text, DeliveryResult& result);
    void SendSteps(const std::vector<Step>& steps, std::size_t from, std::size_t to);
    void DeliverText(const MessageText& text, bool anyAccepted, DeliveryResult& result);
    DeliveryResult Failed(std::exception_ptr error, DeliveryResult facts);
    DeliveryResult Abort(DeliveryResult failure);
    void CloseSession() noexcept;

    SmtpReply ReadReply(Deadline deadline);
    SmtpReply Exchange(const std::string& command, std::initializer_list<int> allowed,
                       std::string_view label);
    void Greet();
    void SwitchToTls();
    void StartImplicitTls();
    void Authenticate();
    void SendMessageText(const MessageText& text);
    SmtpReply ReadDataEndReply();
    void ResetQuietly() noexcept;
    // QuitReply - QUIT's reply, QUIT sent first unless it left with the final ".".
    SmtpReply QuitReply();

    SmtpAccount account_;
    SessionTimeouts timeouts_;
    TransportConnector connector_;
    std::string heloName_;
    TlsPeerCheck tlsCheck_;
    std::unique_ptr<LineTransport> transport_;
    std::vector<std::string> capabilities_;
    SmtpReply lastReply_;
    SessionState state_ = SessionState::Connect;
    std::int32_t messages_ = 0;
    bool authenticated_ = false;
    bool abandoned_ = false;   // the message text broke off: the server is still in its data phase
    bool textFailed_ = false;  // the message text itself could not be produced
    bool lastInSession_ = false;  // the current transaction is the session's last
    bool quitSent_ = false;       // QUIT left with the final "."; its reply is still to be read
};

}  // namespace tessel::smtp
