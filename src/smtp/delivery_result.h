// What became of one delivery attempt.
#pragma once

#include <string>

namespace tessel::smtp {

// Where a failed delivery failed: decides what the spool drain does with the row.
enum class FailureStage {
    None,         // delivered
    Session,      // before the mail transaction (connect, greeting, EHLO/HELO, STARTTLS, TLS, AUTH),
                  // or a 421/530 reply at any step: the message never reached the server and the
                  // next one would fail alike
    Transaction,  // from MAIL FROM on: particular to this message (refused sender, recipient, data)
    Address,      // the address parser refused the sender or recipient text; nothing was sent
    Stopped,      // a stop request cut the session short before the final "."; nothing was delivered
};

// DeliveryResult - true only when the whole dialogue including QUIT succeeded.
struct DeliveryResult {
    bool Delivered = false;
    FailureStage Stage = FailureStage::None;
    std::string Reason;  // the error's text or the server's reply, for the warning record

    explicit operator bool() const { return Delivered; }

    static DeliveryResult Success() { return {true, FailureStage::None, {}}; }
    static DeliveryResult Failure(FailureStage stage, std::string reason) {
        return {false, stage, std::move(reason)};
    }
};

}  // namespace tessel::smtp
