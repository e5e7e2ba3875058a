#include "cycle/delivery_policy.h"

namespace tessel::cycle {

DeliveryDecision DecideDelivery(const smtp::DeliveryResult& result, const std::string& recipient,
                                const SmtpSettings& smtp) {
    if (result.Delivered) return {};
    switch (result.Stage) {
        case smtp::FailureStage::Session:
            return {DeliveryAction::Defer,
                    "Mail server " + smtp.Host + ":" + std::to_string(smtp.Port) +
                        " cannot be used; the queued mail stays for the next cycle: " + result.Reason};
        case smtp::FailureStage::Address:
            return {DeliveryAction::Continue,
                    "Mail to \"" + recipient + "\" not sent: " + result.Reason};
        case smtp::FailureStage::Stopped:
            return {DeliveryAction::Stop, {}};
        case smtp::FailureStage::Transaction:
        case smtp::FailureStage::None:
            break;
    }
    return {DeliveryAction::Continue,
            "Mail to \"" + recipient + "\" not delivered: " + result.Reason};
}

}  // namespace tessel::cycle
