// What became of one delivery attempt.
#pragma once

#include <string>

namespace tessel::smtp {

// Where a failed delivery failed: decides what the spool drain does with the recipient and the row.
enum class FailureStage {
    None,         // delivered
    Session,      // the server could not be used: a failure before the mail transaction (connect,
                  // greeting, EHLO/HELO, STARTTLS, TLS, AUTH), a 530 reply at any step, or a
                  // connection that broke, timed out or answered garbage before the final "." was
                  // sent. The message was not taken, and the next one would most likely fail alike.
    Transaction,  // a permanent refusal (5xx) from MAIL FROM on, or a message text that could not be
                  // produced: particular to this message, not worth a retry
    Temporary,    // a temporary refusal (4xx) of MAIL FROM, RCPT TO, DATA or the final "."
    Unconfirmed,  // no usable reply to the final ".": the server may have taken the message
    Address,      // the address parser refused the sender or recipient text; nothing was sent
    Stopped,      // a stop request cut the session short before the final "."; nothing was delivered
};

// DeliveryResult - true only when the whole dialogue including QUIT succeeded.
struct DeliveryResult {
    bool Delivered = false;
    FailureStage Stage = FailureStage::None;
    std::string Reason;  // the error's text or the server's reply, for the warning record
    int ReplyCode = 0;   // the code of the refusing reply (0 when the failure was no reply)
    std::string Reply;   // the server's whole reply that ended the delivery; empty when none did

    explicit operator bool() const { return Delivered; }

    static DeliveryResult Success() { return {true, FailureStage::None, {}, 0, {}}; }
    static DeliveryResult Failure(FailureStage stage, std::string reason, int replyCode = 0) {
        return {false, stage, std::move(reason), replyCode, {}};
    }
};

}  // namespace tessel::smtp
