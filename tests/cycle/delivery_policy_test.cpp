#include "cycle/delivery_policy.h"

#include <gtest/gtest.h>

#include "support/delivery_facts.h"

namespace tessel::cycle {
namespace {

using smtp::DeliveryResult;
using tessel::test::FailureClass;

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
        {"refused for good", tessel::test::FailedAs(FailureClass::Transaction, "550 5.1.1 No such user", 550),
         120, RecipientFate::Failed, DeliveryAction::Continue,
         "Queued mail 7 to \"r@example\" not delivered: 550 5.1.1 No such user"},
        {"bad address", tessel::test::FailedAs(FailureClass::Address, "@ Outside address"), 120,
         RecipientFate::Failed, DeliveryAction::Continue,
         "Queued mail 7 to \"r@example\" not sent: @ Outside address"},
        {"server unusable", tessel::test::FailedAs(FailureClass::Session, "Connection refused"), 120,
         RecipientFate::Kept, DeliveryAction::Defer, server + "Connection refused (session state: MAIL FROM)"},
        {"refused for now", tessel::test::FailedAs(FailureClass::Temporary, "451 4.7.1 Greylisted", 451), 120,
         RecipientFate::Pending, DeliveryAction::Continue,
         "Queued mail 7 to \"r@example\" refused for now, to be retried: 451 4.7.1 Greylisted"},
        {"refused for now, retries off", tessel::test::FailedAs(FailureClass::Temporary, "452 full", 452), 0,
         RecipientFate::Failed, DeliveryAction::Continue, "Queued mail 7 to \"r@example\" not delivered: 452 full"},
        {"channel closing", tessel::test::FailedAs(FailureClass::Temporary, "421 4.7.0 Too many", 421), 120,
         RecipientFate::Pending, DeliveryAction::Defer, server + "421 4.7.0 Too many (session state: RCPT TO)"},
        {"channel closing, retries off", tessel::test::FailedAs(FailureClass::Temporary, "421 bye", 421), 0,
         RecipientFate::Pending, DeliveryAction::Defer, server + "421 bye (session state: RCPT TO)"},
        {"no reply to the end", tessel::test::FailedAs(FailureClass::Unconfirmed, "Timed out"), 120,
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
    DeliveryDecision decision = DecideDelivery(tessel::test::FailedAs(FailureClass::Address, "@ Outside address"),
                                               7, "a@x\r\nforged\x1b", SmtpSettings{});
    EXPECT_EQ(decision.Warning, "Queued mail 7 to \"a@x\\x0D\\x0Aforged\\x1B\" not sent: @ Outside address");
}

}  // namespace
}  // namespace tessel::cycle

namespace tessel::cycle {
namespace {

using smtp::ErrorKind;
using smtp::SessionState;

DeliveryResult Facts(ErrorKind error, SessionState state, int code, std::int32_t sessionMessages) {
    DeliveryResult result = DeliveryResult::Failure(error, state, "reason", code);
    result.SessionMessages = sessionMessages;
    return result;
}

// What a failure means depends on where the session was and whether it had carried messages.
TEST(DeliveryPolicy, KeptSessionsAndFailuresBeforeTheTransaction) {
    const struct {
        const char* name;
        DeliveryResult result;
        DeliveryAction action;
        bool backOff;
        std::int32_t sessionLimit;
    } cases[] = {
        {"refused EHLO: the server's, no back-off", Facts(ErrorKind::Refused, SessionState::Hello, 554, 0),
         DeliveryAction::Defer, false, 0},
        {"AUTH not offered", Facts(ErrorKind::Unsupported, SessionState::Auth, 0, 0), DeliveryAction::Defer, false, 0},
        {"closed at MAIL FROM of a new session", Facts(ErrorKind::Connection, SessionState::MailFrom, 0, 0),
         DeliveryAction::Defer, true, 0},
        {"closed at RSET of a kept session", Facts(ErrorKind::Connection, SessionState::Reset, 0, 2),
         DeliveryAction::RetryNow, true, 0},
        {"421 at MAIL FROM after three messages", Facts(ErrorKind::Refused, SessionState::MailFrom, 421, 3),
         DeliveryAction::RetryNow, true, 3},
        {"421 at RCPT TO of a session's first message", Facts(ErrorKind::Refused, SessionState::RcptTo, 421, 0),
         DeliveryAction::Defer, true, 0},
        {"421 to the final dot of a kept session", Facts(ErrorKind::Refused, SessionState::DataEnd, 421, 2),
         DeliveryAction::Defer, true, 0},
        {"closed after the final dot of a kept session", Facts(ErrorKind::Connection, SessionState::DataEnd, 0, 2),
         DeliveryAction::Continue, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeliveryDecision decision = DecideDelivery(c.result, 7, "r@example", SmtpSettings{});
        EXPECT_EQ(decision.Action, c.action);
        EXPECT_EQ(decision.BackOff, c.backOff);
        EXPECT_EQ(decision.SessionLimit, c.sessionLimit);
    }
}

}  // namespace
}  // namespace tessel::cycle
