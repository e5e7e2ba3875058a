#include "cycle/delivery_policy.h"

#include "util/record_text.h"

namespace tessel::cycle {
namespace {

// kClosingChannel - the server ends the session: every message would be refused alike for now.
constexpr int kClosingChannel = 421;

}  // namespace

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

std::string DescribeMessage(std::int32_t rowId, const std::string& recipient) {
    return "queued mail " + std::to_string(rowId) + " to \"" + RecordText(recipient) + "\"";
}

DeliveryDecision DecideDelivery(const smtp::DeliveryResult& result, std::int32_t rowId,
                                const std::string& recipient, const SmtpSettings& smtp) {
    if (result.Delivered) return {};
    const std::string message = DescribeMessage(rowId, recipient);
    const std::string said = Capitalised(message);
    bool closing = result.Stage == smtp::FailureStage::Temporary && result.ReplyCode == kClosingChannel;
    if (result.Stage == smtp::FailureStage::Session || closing) {
        return {closing ? RecipientFate::Pending : RecipientFate::Kept, DeliveryAction::Defer,
                "Mail server " + smtp.Host + ":" + std::to_string(smtp.Port) + " cannot be used; " + message +
                    " and the mail after it wait for a later cycle: " + result.Reason};
    }
    switch (result.Stage) {
        case smtp::FailureStage::Temporary:
            if (smtp.RetryHours > 0) {
                return {RecipientFate::Pending, DeliveryAction::Continue,
                        said + " refused for now, to be retried: " + result.Reason};
            }
            break;
        case smtp::FailureStage::Unconfirmed:
            return {RecipientFate::Unconfirmed, DeliveryAction::Continue,
                    said + ": delivery unconfirmed, not retried (the server may have taken it): " +
                        result.Reason};
        case smtp::FailureStage::Address:
            return {RecipientFate::Failed, DeliveryAction::Continue, said + " not sent: " + result.Reason};
        case smtp::FailureStage::Stopped:
            return {RecipientFate::Untried, DeliveryAction::Stop, {}};
        case smtp::FailureStage::Transaction:
        case smtp::FailureStage::Session:
        case smtp::FailureStage::None:
            break;
    }
    return {RecipientFate::Failed, DeliveryAction::Continue, said + " not delivered: " + result.Reason};
}

}  // namespace tessel::cycle
