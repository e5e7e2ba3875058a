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
#include "smtp/failure_class.h"
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

// TransportConnector - opens the connection of one session. Throws on failure.
using TransportConnector = std::function<std::unique_ptr<LineTransport>(
    const std::string& host, std::int32_t port, bool useTls, const SessionTimeouts& timeouts)>;

// ConnectLine - the real connector: a LineConnection (TLS-capable when useTls) opened within the
// connect timeout. Throws TransportError, PlatformError or TlsError.
std::unique_ptr<LineTransport> ConnectLine(const std::string& host, std::int32_t port, bool useTls,
                                           const SessionTimeouts& timeouts);

// LocalHostName - the name announced in EHLO/HELO: the host name, else the node name, else "localhost".
std::string LocalHostName();

// HasCapability - a capability line equal to name, letter case ignored.
bool HasCapability(const std::vector<std::string>& capabilities, std::string_view name);

// AuthMechanisms - the mechanism names of the AUTH lines ("AUTH " or "AUTH=" at the start, any case),
// upper case, split at spaces only, without repeats, in order of appearance.
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

// SmtpClient - one SMTP session for one message over a connection of its own.
class SmtpClient {
public:
    SmtpClient(SmtpAccount account, SessionTimeouts timeouts, TransportConnector connector = ConnectLine);
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // Deliver - connects, runs the whole dialogue and closes. Delivered only when QUIT got 221 (or
    // the server had already closed after accepting the message). Failures are returned, not thrown,
    // as ClassifyFailure sorts them; Address (without connecting) when an envelope address holds a
    // byte not allowed there (EnvelopeAddressFault). Whatever text throws, other than the
    // connection, fails the transaction.
    DeliveryResult Deliver(const Envelope& envelope, const MessageText& text);

    // Transact - one mail transaction (from its RSET to the reply to the final "."), on the open
    // session or on a new one (connect, greeting, EHLO, STARTTLS, AUTH). Delivered when the final "."
    // got 250; the session then stays open for the next transaction. A failure ends the session
    // (QUIT as after any failure) and is returned as Deliver returns it.
    DeliveryResult Transact(const Envelope& envelope, const MessageText& text);
    // Quit - ends the open session with QUIT (221 expected) and closes; Success when none is open.
    DeliveryResult Quit();
    // Idle - a session is open, the server has not closed it and has sent nothing unasked (such as
    // a 421 before closing an idle session): the next transaction may use it.
    bool Idle();

    // Capabilities - the text lines of the last EHLO reply after its first line.
    const std::vector<std::string>& Capabilities() const { return capabilities_; }
    // LastReply - the last reply read.
    const SmtpReply& LastReply() const { return lastReply_; }

private:
    void OpenSession();
    void Transaction(const Envelope& envelope, const MessageText& text);
    DeliveryResult Abort(DeliveryResult failure);

    SmtpReply ReadReply(Deadline deadline);
    SmtpReply Exchange(const std::string& command, std::initializer_list<int> allowed,
                       std::string_view label);
    void Greet();
    void SwitchToTls();
    void StartImplicitTls();
    void Authenticate();
    void PlainTransaction(const Envelope& envelope, const MessageText& text);
    void PipelinedTransaction(const Envelope& envelope, const MessageText& text);
    void SendMessageText(const MessageText& text);
    SmtpReply ReadDataEndReply();
    void ResetQuietly() noexcept;

    SmtpAccount account_;
    SessionTimeouts timeouts_;
    TransportConnector connector_;
    std::string heloName_;
    TlsPeerCheck tlsCheck_;
    std::unique_ptr<LineTransport> transport_;
    std::vector<std::string> capabilities_;
    SmtpReply lastReply_;
    bool authenticated_ = false;
    SessionPhase phase_ = SessionPhase::BeforeTransaction;
    bool abandoned_ = false;   // the message text broke off: the server is still in its data phase
    bool textFailed_ = false;  // the message text itself could not be produced
};

}  // namespace tessel::smtp
