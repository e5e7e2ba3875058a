#include "cycle/delivery_policy.h"

#include <gtest/gtest.h>

namespace tessel::cycle {
namespace {

using smtp::DeliveryResult;
using smtp::FailureStage;

TEST(DeliveryPolicy, EachOutcomeHasOneMeaning) {
    const std::string server = "Mail server mail.example:587 cannot be used; queued mail 7 to \"r@example\" "
                               "and the mail after it wait for a later cycle: ";
    struct Case {
        const char* name;
        DeliveryResult result;
        std::int32_t retryHours;
        RecipientFate fate;
        DeliveryAction action;
        std::string warning;
    } cases[] = {
        {"delivered", DeliveryResult::Success(), 120, RecipientFate::Delivered, DeliveryAction::Continue, ""},
        {"refused for good", DeliveryResult::Failure(FailureStage::Transaction, "550 5.1.1 No such user", 550),
         120, RecipientFate::Failed, DeliveryAction::Continue,
         "Queued mail 7 to \"r@example\" not delivered: 550 5.1.1 No such user"},
        {"bad address", DeliveryResult::Failure(FailureStage::Address, "@ Outside address"), 120,
         RecipientFate::Failed, DeliveryAction::Continue,
         "Queued mail 7 to \"r@example\" not sent: @ Outside address"},
        {"server unusable", DeliveryResult::Failure(FailureStage::Session, "Connection refused"), 120,
         RecipientFate::Kept, DeliveryAction::Defer, server + "Connection refused"},
        {"refused for now", DeliveryResult::Failure(FailureStage::Temporary, "451 4.7.1 Greylisted", 451), 120,
         RecipientFate::Pending, DeliveryAction::Continue,
         "Queued mail 7 to \"r@example\" refused for now, to be retried: 451 4.7.1 Greylisted"},
        {"refused for now, retries off", DeliveryResult::Failure(FailureStage::Temporary, "452 full", 452), 0,
         RecipientFate::Failed, DeliveryAction::Continue, "Queued mail 7 to \"r@example\" not delivered: 452 full"},
        {"channel closing", DeliveryResult::Failure(FailureStage::Temporary, "421 4.7.0 Too many", 421), 120,
         RecipientFate::Pending, DeliveryAction::Defer, server + "421 4.7.0 Too many"},
        {"channel closing, retries off", DeliveryResult::Failure(FailureStage::Temporary, "421 bye", 421), 0,
         RecipientFate::Pending, DeliveryAction::Defer, server + "421 bye"},
        {"no reply to the end", DeliveryResult::Failure(FailureStage::Unconfirmed, "Timed out"), 120,
         RecipientFate::Unconfirmed, DeliveryAction::Continue,
         "Queued mail 7 to \"r@example\": delivery unconfirmed, not retried (the server may have taken it): "
         "Timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpSettings smtp;
        smtp.Host = "mail.example";
        smtp.Port = 587;
        smtp.RetryHours = c.retryHours;
        DeliveryDecision decision = DecideDelivery(c.result, 7, "r@example", smtp);
        EXPECT_EQ(decision.Fate, c.fate);
        EXPECT_EQ(decision.Action, c.action);
        EXPECT_EQ(decision.Warning, c.warning);
    }
}

TEST(DeliveryPolicy, ARecipientFromTheRowIsEscapedInTheWarning) {
    DeliveryDecision decision = DecideDelivery(DeliveryResult::Failure(FailureStage::Address, "@ Outside address"),
                                               7, "a@x\r\nforged\x1b", SmtpSettings{});
    EXPECT_EQ(decision.Warning, "Queued mail 7 to \"a@x\\x0D\\x0Aforged\\x1B\" not sent: @ Outside address");
}

}  // namespace
}  // namespace tessel::cycle
