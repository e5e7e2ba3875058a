// What the facts of one delivery attempt mean for the mail queue: the one place that decides it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cycle/settings.h"
#include "smtp/delivery_result.h"

namespace tessel::cycle {

enum class DeliveryAction {
    Continue,  // go on with the next recipient and row
    Defer,     // the server cannot be used now: end the drain; this row and the later ones wait
    Stop,      // a stop request cut the message short: end the drain like a deferral, quietly
    RetryNow,  // the session that was kept open failed, or ended at its limit of messages: send the
               // same message again at once through a new session
};

// RecipientFate - what becomes of a recipient (or one address of it) after one attempt.
enum class RecipientFate {
    Delivered,
    Failed,       // not sent, and never retried: refused for good, an unusable address, or a
                  // temporary refusal while retries are off
    Unconfirmed,  // no reply to the end of the message: the server may have it, so no retry
    Pending,      // refused for now: stays in the row for a retry after the row's back-off
    Kept,         // the server could not be used: stays in the row, tried again later
    Untried,      // a stop cut the attempt short: stays in the row in its place, as if never tried
};

// FailureClass - what an attempt as a whole means for its message.
enum class FailureClass {
    None,         // delivered (to the recipients the server accepted)
    Session,      // the server could not be used: a failure before the transaction, a 530 reply at
                  // any step, or a connection that broke, timed out or answered garbage before the
                  // final "." was sent. The next message would most likely fail alike.
    Transaction,  // a permanent refusal (5xx) from MAIL FROM on, or a message text that could not be
                  // produced: particular to this message, not worth a retry
    Temporary,    // a temporary refusal (4xx) of MAIL FROM, RCPT TO, DATA or the final "."
    Unconfirmed,  // no usable reply to the final ".": the server may have taken the message
    Address,      // an address cannot be used; nothing was sent
    Stopped,      // a stop request cut the session short before the final "."; nothing was delivered
};

// ClassifyFailure - the class of an attempt from its facts. Never throws.
FailureClass ClassifyFailure(const smtp::DeliveryResult& result);

// AddressOutcome - the fate of one address of a recipient whose addresses fared differently.
struct AddressOutcome {
    std::string Address;
    RecipientFate Fate = RecipientFate::Delivered;
    std::string Warning;  // empty when there is none
    std::string Reply;    // the server's reply about this address, for the record
};

struct DeliveryDecision {
    RecipientFate Fate = RecipientFate::Delivered;  // the recipient's, when its addresses share it
    DeliveryAction Action = DeliveryAction::Continue;
    std::string Warning;  // the warning record to write; empty when there is none
    // Split - the server accepted some of the recipient's addresses and refused others: Addresses
    // holds each one's fate and warning, and only the addresses not served stay in the row.
    bool Split = false;
    std::vector<AddressOutcome> Addresses;
    // BackOff - with Defer: the row goes into back-off. Not when the session failed before its
    // transaction: that was the server, not the row.
    bool BackOff = true;
    // Throttled - with Defer: the server said it is throttling. The drain ends for this cycle; no
    // row goes into back-off and no give-up clock starts. Warning quotes the reply.
    bool Throttled = false;
    // SessionLimit - with RetryNow after a 421 on a kept session: the number of messages that
    // session had carried, which sessions should not exceed for the rest of the cycle (0: no limit).
    std::int32_t SessionLimit = 0;
};

// IsThrottling - a reply by which the server says it is throttling this client: a 421 at any step,
// or, from MAIL FROM on, a 4xx reply with the enhanced status 4.3.2, 4.7.0 or 4.7.28, or 450 4.2.1.
// Never throws.
bool IsThrottling(smtp::SessionState state, int code, std::string_view enhancedStatus);

// RecipientsSent - how many of the attempt's addresses may have got the message, as a provider
// counts them against a daily limit: those accepted when it was delivered, all when its delivery
// is unconfirmed, none otherwise. Never throws.
std::int64_t RecipientsSent(const smtp::DeliveryResult& result);

// DecideDelivery - the fate of recipient (of queued mail rowId) after result, with the server and
// retry settings of smtp. A failure of the server (Session) keeps the recipient and defers the
// drain; on a session that had carried messages before, it asks for the message again at once
// (RetryNow) instead, and so does a 421 at MAIL FROM or RCPT TO of such a session, with a limit of
// messages per session. Any other throttling reply (IsThrottling), also to one address of a
// recipient that the server otherwise accepted, keeps what was not served and defers the drain
// (Throttled), without a back-off. A temporary refusal: pending when retries are on
// (RetryHours > 0), failed otherwise. A permanent refusal, an unusable address, or an unconfirmed
// end of message: failed or unconfirmed, with no retry. Cut short by a stop: untried, stop, no
// warning. When the server accepted the message for some of the recipient's addresses and refused
// others, each address gets the fate of its own RCPT TO reply (Split). Every warning names the row
// and the recipient (or address). Never throws (but std::bad_alloc).
DeliveryDecision DecideDelivery(const smtp::DeliveryResult& result, std::int32_t rowId,
                                const std::string& recipient, const SmtpSettings& smtp);

// DescribeMessage - "queued mail <id> to \"<recipient>\"", how every record names one message.
std::string DescribeMessage(std::int32_t rowId, const std::string& recipient);

// Capitalised - text with its first letter upper case, to open a record ("Queued mail ...").
std::string Capitalised(std::string text);

}  // namespace tessel::cycle
