#include "cycle/delivery_policy.h"

#include <algorithm>

#include "util/record_text.h"

namespace tessel::cycle {
namespace {

using smtp::DeliveryResult;
using smtp::ErrorKind;
using smtp::SessionState;

// kClosingChannel - the server ends the session: every message would be refused alike for now.
constexpr int kClosingChannel = 421;
// kAuthenticationRequired - the server refuses every message of this session.
constexpr int kAuthenticationRequired = 530;

// Throttling replies besides 421, by their enhanced status: system congestion, a policy's rate
// limit, and a provider's limit on concurrent connections.
constexpr std::string_view kThrottlingStatuses[] = {"4.3.2", "4.7.0", "4.7.28"};
constexpr int kMailboxBusy = 450;
constexpr std::string_view kTooFastStatus = "4.2.1";

bool IsTemporary(int code) { return code >= 400 && code <= 499; }
bool IsRefusal(int code) { return code != 0 && code != 250 && code != 251; }

// RefusalClass - a reply that the server refused the message with.
FailureClass RefusalClass(int code) {
    return IsTemporary(code) ? FailureClass::Temporary : FailureClass::Transaction;
}

struct Fated {
    RecipientFate Fate;
    std::string Warning;
};

// FateOf - the fate of a message of class cls (neither Session nor Stopped) and its warning.
Fated FateOf(FailureClass cls, const std::string& said, const std::string& reason, const SmtpSettings& smtp) {
    switch (cls) {
        case FailureClass::None: return {RecipientFate::Delivered, {}};
        case FailureClass::Temporary:
            if (smtp.RetryHours > 0) {
                return {RecipientFate::Pending, said + " refused for now, to be retried: " + reason};
            }
            break;
        case FailureClass::Unconfirmed:
            return {RecipientFate::Unconfirmed,
                    said + ": delivery unconfirmed, not retried (the server may have taken it): " + reason};
        case FailureClass::Address: return {RecipientFate::Failed, said + " not sent: " + reason};
        default: break;
    }
    return {RecipientFate::Failed, said + " not delivered: " + reason};
}

// SplitOutcomes - the fate of each address when the server answered their RCPT TO differently and
// its answers count (the sender was accepted, and the channel was not closed). Empty when every
// address shares one fate: the recipient then fares as a whole.
std::vector<AddressOutcome> SplitOutcomes(const DeliveryResult& result, FailureClass whole, std::int32_t rowId,
                                          const SmtpSettings& smtp) {
    std::vector<AddressOutcome> outcomes;
    if (result.Recipients.size() < 2 || result.ReplyCode == kClosingChannel ||
        (!result.Delivered && result.State <= SessionState::MailFrom)) {
        return outcomes;
    }
    bool differ = false;
    for (const smtp::RecipientReply& answer : result.Recipients) {
        const std::string said = Capitalised(DescribeMessage(rowId, answer.Address));
        AddressOutcome outcome{answer.Address, RecipientFate::Delivered, {}, answer.Reply};
        if (IsThrottling(SessionState::RcptTo, answer.Code, answer.EnhancedStatus)) {
            // Not the address's fault: it waits for a later cycle, like the drain.
            outcome.Fate = RecipientFate::Kept;
        } else if (IsRefusal(answer.Code)) {
            Fated fated = FateOf(RefusalClass(answer.Code), said, "RCPT TO:<" + answer.Address + "> answered " +
                                                                      answer.Reply, smtp);
            outcome.Fate = fated.Fate;
            outcome.Warning = std::move(fated.Warning);
        } else if (whole == FailureClass::Session) {
            outcome.Fate = RecipientFate::Kept;
        } else {
            Fated fated = FateOf(whole, said, result.Reason, smtp);
            outcome.Fate = fated.Fate;
            outcome.Warning = std::move(fated.Warning);
            outcome.Reply = result.Reply;
        }
        differ = differ || outcome.Fate != (outcomes.empty() ? outcome.Fate : outcomes.front().Fate);
        outcomes.push_back(std::move(outcome));
    }
    if (!differ) outcomes.clear();
    return outcomes;
}

}  // namespace

bool IsThrottling(SessionState state, int code, std::string_view enhancedStatus) {
    if (code == kClosingChannel) return true;
    if (!IsTemporary(code) || state < SessionState::MailFrom) return false;
    if (code == kMailboxBusy && enhancedStatus == kTooFastStatus) return true;
    for (std::string_view status : kThrottlingStatuses) {
        if (enhancedStatus == status) return true;
    }
    return false;
}

std::int64_t RecipientsSent(const DeliveryResult& result) {
    if (ClassifyFailure(result) == FailureClass::Unconfirmed) {
        return std::max<std::int64_t>(1, static_cast<std::int64_t>(result.Recipients.size()));
    }
    if (!result.Delivered) return 0;
    if (result.Recipients.empty()) return 1;
    std::int64_t accepted = 0;
    for (const smtp::RecipientReply& answer : result.Recipients) accepted += !IsRefusal(answer.Code);
    return accepted;
}

FailureClass ClassifyFailure(const DeliveryResult& result) {
    if (result.Delivered) return FailureClass::None;
    switch (result.Error) {
        case ErrorKind::None: return FailureClass::None;
        case ErrorKind::Stopped: return FailureClass::Stopped;
        case ErrorKind::Address: return FailureClass::Address;
        case ErrorKind::Text: return FailureClass::Transaction;
        case ErrorKind::Refused:
            if (result.ReplyCode == kAuthenticationRequired || result.State <= SessionState::Reset) {
                return FailureClass::Session;
            }
            return result.State == SessionState::Quit ? FailureClass::Transaction : RefusalClass(result.ReplyCode);
        case ErrorKind::Connection:
        case ErrorKind::Unsupported: break;
    }
    // No answer that can be trusted: before the final "." the message was certainly not taken;
    // after it, it may have been.
    if (result.State == SessionState::DataEnd) return FailureClass::Unconfirmed;
    return result.State == SessionState::Quit ? FailureClass::Transaction : FailureClass::Session;
}

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

std::string DescribeMessage(std::int32_t rowId, const std::string& recipient) {
    return "queued mail " + std::to_string(rowId) + " to \"" + RecordText(recipient) + "\"";
}

namespace {

// ThrottlingReply - the refusal by which the server said it throttles (the attempt's, or one
// address's), as the reason for a record; empty when there is none.
std::string ThrottlingReply(const DeliveryResult& result) {
    if (result.Error == ErrorKind::Refused && IsThrottling(result.State, result.ReplyCode, result.EnhancedStatus)) {
        return result.Reason;
    }
    for (const smtp::RecipientReply& answer : result.Recipients) {
        if (IsThrottling(SessionState::RcptTo, answer.Code, answer.EnhancedStatus)) {
            return "RCPT TO:<" + answer.Address + "> answered " + answer.Reply;
        }
    }
    return {};
}

// Throttle - with a throttling reply, decision keeps what was not served and ends the drain without
// a back-off, its warning quoting reply. False (decision unchanged) without one.
bool Throttle(DeliveryDecision& decision, const std::string& reply, const SmtpSettings& smtp) {
    if (reply.empty()) return false;
    // Every message would meet it: nothing is the row's fault, so its clocks stay as they are.
    if (!decision.Split) decision.Fate = RecipientFate::Kept;
    decision.Action = DeliveryAction::Defer;
    decision.Throttled = true;
    decision.BackOff = false;
    decision.Warning = "Mail server " + RecordText(smtp.Host) + ":" + std::to_string(smtp.Port) +
                       " is throttling: no more mail is sent this cycle, and the queued mail waits without "
                       "counting against any row's retries: " + reply;
    return true;
}

}  // namespace

DeliveryDecision DecideDelivery(const DeliveryResult& result, std::int32_t rowId, const std::string& recipient,
                                const SmtpSettings& smtp) {
    const FailureClass whole = ClassifyFailure(result);
    DeliveryDecision decision;
    decision.Addresses = SplitOutcomes(result, whole, rowId, smtp);
    decision.Split = !decision.Addresses.empty();
    if (whole == FailureClass::Stopped) {
        decision.Fate = RecipientFate::Untried;
        decision.Action = DeliveryAction::Stop;
        return decision;
    }
    if (whole == FailureClass::None) {
        // Served, unless one address's throttling reply says the rest of the cycle must wait.
        if (decision.Split) Throttle(decision, ThrottlingReply(result), smtp);
        return decision;
    }

    const std::string message = DescribeMessage(rowId, recipient);
    const bool closing = whole == FailureClass::Temporary && result.ReplyCode == kClosingChannel;
    const bool keptSession = result.SessionMessages > 0;
    if (keptSession && closing &&
        (result.State == SessionState::MailFrom || result.State == SessionState::RcptTo)) {
        // Most often the server's limit of messages per connection.
        decision.Action = DeliveryAction::RetryNow;
        decision.SessionLimit = result.SessionMessages;
        return decision;
    }
    if (keptSession && whole == FailureClass::Session && !decision.Split) {
        // The kept session failed before the message reached the server: a new one may take it.
        decision.Action = DeliveryAction::RetryNow;
        return decision;
    }
    if (Throttle(decision, ThrottlingReply(result), smtp)) return decision;
    if (whole == FailureClass::Session) {
        decision.Fate = RecipientFate::Kept;
        decision.Action = DeliveryAction::Defer;
        decision.BackOff = result.State > SessionState::Reset;
        decision.Warning = "Mail server " + RecordText(smtp.Host) + ":" + std::to_string(smtp.Port) +
                           " cannot be used; " + message + " and the mail after it wait for a later cycle: " +
                           result.Reason + " (session state: " + std::string(smtp::StateName(result.State)) + ")";
        return decision;
    }
    Fated fated = FateOf(whole, Capitalised(message), result.Reason, smtp);
    decision.Fate = fated.Fate;
    // A split recipient is warned about address by address.
    if (!decision.Split) decision.Warning = std::move(fated.Warning);
    return decision;
}

}  // namespace tessel::cycle
