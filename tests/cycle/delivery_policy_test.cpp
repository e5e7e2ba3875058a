#include "cycle/delivery_policy.h"

#include <gtest/gtest.h>

namespace tessel::cycle {
namespace {

using smtp::DeliveryResult;
using smtp::FailureStage;

TEST(DeliveryPolicy, EachStageHasOneMeaning) {
    SmtpSettings smtp;
    smtp.Host = "mail.example";
    smtp.Port = 587;
    struct Case {
        DeliveryResult result;
        DeliveryAction action;
        std::string warning;
    } cases[] = {
        {DeliveryResult::Success(), DeliveryAction::Continue, ""},
        {DeliveryResult::Failure(FailureStage::Transaction, "550 5.1.1 No such user"),
         DeliveryAction::Continue, "Mail to \"r@example\" not delivered: 550 5.1.1 No such user"},
        {DeliveryResult::Failure(FailureStage::Address, "@ Outside address"), DeliveryAction::Continue,
         "Mail to \"r@example\" not sent: @ Outside address"},
        {DeliveryResult::Failure(FailureStage::Session, "Connection refused"), DeliveryAction::Defer,
         "Mail server mail.example:587 cannot be used; the queued mail stays for the next cycle: "
         "Connection refused"},
    };
    for (const Case& c : cases) {
        DeliveryDecision decision = DecideDelivery(c.result, "r@example", smtp);
        EXPECT_EQ(decision.Action, c.action) << c.result.Reason;
        EXPECT_EQ(decision.Warning, c.warning);
    }
}

}  // namespace
}  // namespace tessel::cycle
