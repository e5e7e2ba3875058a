// The SMTP session: greeting, EHLO/HELO, STARTTLS, AUTH LOGIN, the mail transaction and QUIT.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/delivery_result.h"
#include "mail/line_connection.h"
#include "mail/message.h"
#include "mail/smtp_reply.h"

namespace tessel::mail {

// SessionTimeouts - bounds of the waits on the SMTP connection: the connect, every reply (one
// deadline for the whole reply; the TLS handshake has the same bound), the reply to the final ".",
// and every write.
struct SessionTimeouts {
    std::chrono::milliseconds Connect{60000};
    std::chrono::milliseconds Reply{300000};
    std::chrono::milliseconds DataEnd{600000};
    std::chrono::milliseconds Write{300000};
};

// SmtpAccount - where and as whom one session delivers (the port as it is connected to).
struct SmtpAccount {
    std::string Host;
    std::int32_t Port = 25;
    std::string UserName;  // empty: no authentication
    std::string Password;
    bool UseTls = false;
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

// EnvelopeRecipients - the recipients' plain forms joined by ", " and read back with the address
// parser: the addresses named in RCPT TO. Throws AddressError.
std::vector<std::string> EnvelopeRecipients(const OutgoingMessage& message);

// SmtpClient - one SMTP session for one message over a connection of its own.
class SmtpClient {
public:
    SmtpClient(SmtpAccount account, SessionTimeouts timeouts, TransportConnector connector = ConnectLine);
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // Deliver - connects, runs the whole dialogue and closes. Delivered only when QUIT got 221 (or
    // the server had already closed after accepting the message). Failures are returned, not thrown:
    // Stage Session before MAIL FROM, Transaction from MAIL FROM on, Address (without connecting)
    // when the recipients cannot be read back or an envelope address holds a CR or LF.
    DeliveryResult Deliver(const OutgoingMessage& message);

    // Capabilities - the text lines of the last EHLO reply after its first line.
    const std::vector<std::string>& Capabilities() const { return capabilities_; }
    // LastReply - the last reply read.
    const SmtpReply& LastReply() const { return lastReply_; }

private:
    void Converse(const OutgoingMessage& message, const std::vector<std::string>& recipients);
    DeliveryResult Finish(std::optional<DeliveryResult> failure);

    SmtpReply ReadReply(Deadline deadline);
    SmtpReply Exchange(const std::string& command, std::initializer_list<int> allowed,
                       std::string_view label);
    void Greet();
    void SwitchToTls();
    void Authenticate();
    void PlainTransaction(const OutgoingMessage& message, const std::vector<std::string>& recipients);
    void PipelinedTransaction(const OutgoingMessage& message, const std::vector<std::string>& recipients);
    void SendMessageText(const OutgoingMessage& message);
    void ResetQuietly() noexcept;

    SmtpAccount account_;
    SessionTimeouts timeouts_;
    TransportConnector connector_;
    std::string heloName_;
    std::unique_ptr<LineTransport> transport_;
    std::vector<std::string> capabilities_;
    SmtpReply lastReply_;
    bool authenticated_ = false;
    bool inTransaction_ = false;
    bool abandoned_ = false;  // the message text broke off: the server is still in its data phase
};

}  // namespace tessel::mail
