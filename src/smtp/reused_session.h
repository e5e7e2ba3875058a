// Several messages through one SMTP session: the session kept open between deliveries.
#pragma once

#include <cstdint>
#include <memory>

#include "smtp/deliver.h"

namespace tessel::smtp {

// ReusedSession - delivers each message like DeliverMessage, but with the account's
// MessagesPerSession above 1 keeps the session open for up to that many messages: AUTH once, each
// transaction from its RSET. The session ends after that many messages, after any failure (a 421
// included), when the account changes, and at End. A message whose kept session turns out unusable
// (closed by the server, or a failure before the transaction) is tried once on a new session.
class ReusedSession {
public:
    explicit ReusedSession(SessionTimeouts timeouts = {}, TransportConnector connector = ConnectLine);
    ~ReusedSession();
    ReusedSession(const ReusedSession&) = delete;
    ReusedSession& operator=(const ReusedSession&) = delete;

    // Deliver - the message to server (its port after the port rule). Never throws for a failed
    // delivery. With one message per session, exactly DeliverMessage.
    DeliveryResult Deliver(const Envelope& envelope, const MessageText& text, const SmtpAccount& server);

    // End - QUIT on the open session, if any, and close it. Its outcome changes nothing: every
    // message of the session was answered already. Never throws.
    void End() noexcept;

private:
    DeliveryResult Transact(const Envelope& envelope, const MessageText& text, const SmtpAccount& server);

    SessionTimeouts timeouts_;
    TransportConnector connector_;
    std::unique_ptr<SmtpClient> client_;
    SmtpAccount account_;      // what the open session was made for
    std::int32_t messages_ = 0;  // transactions the open session has completed
};

}  // namespace tessel::smtp
