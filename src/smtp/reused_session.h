// Several messages through one SMTP session: the session kept open between deliveries.
#pragma once

#include <cstdint>
#include <memory>

#include "smtp/deliver.h"

namespace tessel::smtp {

// ReusedSession - delivers each message like DeliverMessage, but with the account's
// MessagesPerSession above 1 keeps the session open for up to that many messages: AUTH once, each
// transaction from its RSET. The session ends after that many messages, after any failure, when the
// account changes, when the server closed it or spoke unasked while it was idle, and at End. It
// decides nothing about a failed message: trying it again is the caller's choice.
class ReusedSession {
public:
    explicit ReusedSession(SessionTimeouts timeouts = {}, TransportConnector connector = ConnectLine);
    ~ReusedSession();
    ReusedSession(const ReusedSession&) = delete;
    ReusedSession& operator=(const ReusedSession&) = delete;

    // Deliver - the message to server (its ConnectPort). Never throws for a failed delivery. With
    // one message per session, exactly DeliverMessage. The result's SessionMessages tells how many
    // messages the session had carried before this one.
    DeliveryResult Deliver(const Envelope& envelope, const MessageText& text, const SmtpAccount& server);

    // End - QUIT on the open session, if any, and close it. Its outcome changes nothing: every
    // message of the session was answered already. Never throws.
    void End() noexcept;

private:
    SessionTimeouts timeouts_;
    TransportConnector connector_;
    std::unique_ptr<SmtpClient> client_;
    SmtpAccount account_;  // what the open session was made for
};

}  // namespace tessel::smtp
