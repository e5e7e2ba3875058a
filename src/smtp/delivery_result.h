// What happened in one delivery attempt, as facts: where the session was, what the server replied
// (to the whole transaction and to each RCPT TO), or what kind of error ended it. What the facts mean
// for the queue is decided elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::smtp {

// SessionState - the states of one SMTP session, in the order a session passes them. A failure
// names the state it happened in.
enum class SessionState {
    Connect,   // resolving the name and opening the connection (the implicit TLS handshake included)
    Greeting,  // waiting for the server's 220
    Hello,     // EHLO, or HELO after a refused EHLO
    StartTls,  // STARTTLS and its handshake, and the EHLO after it
    Auth,      // AUTH and its exchanges (the token request included)
    Reset,     // RSET at the start of a transaction
    MailFrom,
    RcptTo,
    Data,      // DATA, waiting for 354
    Text,      // writing the message text and its final "."
    DataEnd,   // the final "." has left; waiting for its reply
    Quit,
    Done,      // the transaction (or the whole session) ended as it should
};

// StateName - the state's name for records: "connect", "greeting", "EHLO", ...
std::string_view StateName(SessionState state);

// BeforeTransaction - the state lies before the session's first MAIL FROM could be sent.
inline bool BeforeTransaction(SessionState state) { return state < SessionState::Reset; }

// ErrorKind - what ended the attempt when it was not delivered.
enum class ErrorKind {
    None,         // the server accepted the message (for the recipients it accepted)
    Refused,      // the server answered with a reply the state does not accept (ReplyCode holds it)
    Connection,   // the connection broke, timed out, was closed, or the server answered garbage
    Unsupported,  // the server lacks what the settings require (STARTTLS, an AUTH mechanism), or the
                  // token endpoint gave no token
    Stopped,      // a stop request cut a wait short (never the wait for the reply to the final ".")
    Text,         // the message text itself could not be produced (an unreadable attachment)
    Address,      // an address cannot be used in the envelope; nothing was sent
};

// RecipientReply - the server's answer to the RCPT TO of one envelope address. Code 0: the command
// was never answered (the transaction ended before it).
struct RecipientReply {
    std::string Address;
    int Code = 0;
    std::string Reply;  // the whole reply, described for records
    std::string EnhancedStatus;  // its enhanced status code ("4.7.0"); empty when it had none
};

// DeliveryResult - the facts of one attempt. Delivered: the final "." got 250, so every recipient
// whose RCPT TO was accepted has the message; Recipients tells which were.
struct DeliveryResult {
    bool Delivered = false;
    SessionState State = SessionState::Done;  // where the attempt ended (the first refusal or error)
    ErrorKind Error = ErrorKind::None;
    std::string Reason;         // the error's text or the refusal, for the warning record
    int ReplyCode = 0;          // the code of the refusing reply (0 when the failure was no reply)
    std::string Reply;          // that reply, described; empty when none ended the attempt
    std::string EnhancedStatus;  // that reply's enhanced status code ("4.3.2"); empty when none
    std::vector<RecipientReply> Recipients;  // one per envelope recipient, in RCPT TO order
    std::int32_t SessionMessages = 0;  // messages the session had carried before this one
    std::string MessageId;  // the Message-ID the message carried, when the mail layer made one
    std::string FinalReply;  // the 250 reply to the final ".", described, when the message was taken

    explicit operator bool() const { return Delivered; }

    static DeliveryResult Success() {
        DeliveryResult result;
        result.Delivered = true;
        return result;
    }
    static DeliveryResult Failure(ErrorKind error, SessionState state, std::string reason, int replyCode = 0) {
        DeliveryResult result;
        result.Delivered = false;
        result.State = state;
        result.Error = error;
        result.Reason = std::move(reason);
        result.ReplyCode = replyCode;
        return result;
    }
};

}  // namespace tessel::smtp
