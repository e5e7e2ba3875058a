// What the outcome of one delivery means for the mail queue: the one place that decides it.
#pragma once

#include <cstdint>
#include <string>

#include "cycle/settings.h"
#include "smtp/delivery_result.h"

namespace tessel::cycle {

enum class DeliveryAction {
    Continue,  // go on with the next recipient and row
    Defer,     // the server cannot be used now: end the drain; this row and the later ones wait
    Stop,      // a stop request cut the message short: end the drain like a deferral, quietly
};

// RecipientFate - what becomes of the recipient of one attempt.
enum class RecipientFate {
    Delivered,
    Failed,       // not sent, and never retried: refused for good, an unusable address, or a
                  // temporary refusal while retries are off
    Unconfirmed,  // no reply to the end of the message: the server may have it, so no retry
    Pending,      // refused for now: stays in the row for a retry after the row's back-off
    Kept,         // the server could not be used: stays in the row, tried again later
    Untried,      // a stop cut the attempt short: stays in the row in its place, as if never tried
};

struct DeliveryDecision {
    RecipientFate Fate = RecipientFate::Delivered;
    DeliveryAction Action = DeliveryAction::Continue;
    std::string Warning;  // the warning record to write; empty when there is none
};

// DecideDelivery - the fate of recipient (of queued mail rowId) after result, with the server
// and retry settings of smtp. A failure of the server (Session), and a 421 reply, which closes the
// channel for every message: the recipient is kept and the drain defers. A temporary refusal:
// pending when retries are on (RetryHours > 0), failed otherwise. A permanent refusal, an unusable
// address, or an unconfirmed end of message: failed or unconfirmed, with no retry. Cut short by a
// stop: untried, stop, no warning. Every warning names the row and the recipient. Never throws
// (but std::bad_alloc).
DeliveryDecision DecideDelivery(const smtp::DeliveryResult& result, std::int32_t rowId,
                                const std::string& recipient, const SmtpSettings& smtp);

// DescribeMessage - "queued mail <id> to \"<recipient>\"", how every record names one message.
std::string DescribeMessage(std::int32_t rowId, const std::string& recipient);

// Capitalised - text with its first letter upper case, to open a record ("Queued mail ...").
std::string Capitalised(std::string text);

}  // namespace tessel::cycle
