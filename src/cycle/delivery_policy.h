// What the outcome of one delivery means for the mail queue: the one place that decides it.
#pragma once

#include <string>

#include "cycle/settings.h"
#include "smtp/delivery_result.h"

namespace tessel::cycle {

enum class DeliveryAction {
    Continue,  // go on with the next recipient and row
    Defer,     // the server cannot be used now: leave this row and every later one queued
    Stop,      // a stop request cut the message short: end the drain like a deferral, quietly
};

struct DeliveryDecision {
    DeliveryAction Action = DeliveryAction::Continue;
    std::string Warning;  // the warning record to write; empty when there is none
};

// DecideDelivery - Delivered: continue silently. A failure in the mail transaction or a refused
// address: continue, with a warning naming the recipient and the reason (the message is not
// retried). A failure before the transaction (the session): defer, with a warning naming the
// server (host:port) and the reason. Cut short by a stop: stop, without a warning. Never throws (but std::bad_alloc).
DeliveryDecision DecideDelivery(const smtp::DeliveryResult& result, const std::string& recipient,
                                const SmtpSettings& smtp);

}  // namespace tessel::cycle
