#include "smtp/failure_class.h"

#include "smtp/smtp_reply.h"
#include "smtp/socket.h"

namespace tessel::smtp {
namespace {

constexpr int kAuthenticationRequired = 530;

bool IsTemporary(int code) { return code >= 400 && code <= 499; }

}  // namespace

DeliveryResult ClassifyFailure(const std::exception& error, SessionPhase phase, bool textFailed) {
    if (dynamic_cast<const WaitStopped*>(&error) != nullptr) {
        return DeliveryResult::Failure(FailureStage::Stopped, error.what());
    }
    if (textFailed) return DeliveryResult::Failure(FailureStage::Transaction, error.what());
    const auto* refusal = dynamic_cast<const SmtpReplyError*>(&error);
    if (refusal != nullptr && refusal->Reply().HasValidCode()) {
        int code = refusal->Reply().NumericCode;
        if (code == kAuthenticationRequired || phase == SessionPhase::BeforeTransaction) {
            return DeliveryResult::Failure(FailureStage::Session, error.what(), code);
        }
        return DeliveryResult::Failure(IsTemporary(code) ? FailureStage::Temporary : FailureStage::Transaction,
                                       error.what(), code);
    }
    // No answer that can be trusted: before the final "." the message was certainly not taken;
    // after it, it may have been.
    return DeliveryResult::Failure(
        phase == SessionPhase::AwaitingDataEnd ? FailureStage::Unconfirmed : FailureStage::Session, error.what());
}

}  // namespace tessel::smtp
