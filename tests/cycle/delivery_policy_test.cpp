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
    const std::string throttling = "Mail server mail.example:587 is throttling: no more mail is sent this cycle, "
                                   "and the queued mail waits without counting against any row's retries: ";
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
         RecipientFate::Kept, DeliveryAction::Defer, throttling + "421 4.7.0 Too many"},
        {"channel closing, retries off", tessel::test::FailedAs(FailureClass::Temporary, "421 bye", 421), 0,
         RecipientFate::Kept, DeliveryAction::Defer, throttling + "421 bye"},
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
        {"421 at RCPT TO of a session's first message: throttling", Facts(ErrorKind::Refused, SessionState::RcptTo, 421, 0),
         DeliveryAction::Defer, false, 0},
        {"421 to the final dot of a kept session: throttling", Facts(ErrorKind::Refused, SessionState::DataEnd, 421, 2),
         DeliveryAction::Defer, false, 0},
        {"421 at the greeting: throttling", Facts(ErrorKind::Refused, SessionState::Greeting, 421, 0),
         DeliveryAction::Defer, false, 0},
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

namespace tessel::cycle {
namespace {

// Which replies say the server throttles: by code, enhanced status and the step they answer.
TEST(DeliveryPolicy, ThrottlingReplies) {
    using smtp::SessionState;
    const struct {
        SessionState state;
        int code;
        const char* status;
        bool throttling;
    } cases[] = {
        {SessionState::Greeting, 421, "", true},       {SessionState::RcptTo, 421, "4.4.2", true},
        {SessionState::MailFrom, 451, "4.3.2", true},  {SessionState::MailFrom, 432, "4.3.2", true},
        {SessionState::RcptTo, 451, "4.7.0", true},    {SessionState::DataEnd, 450, "4.7.28", true},
        {SessionState::RcptTo, 450, "4.2.1", true},    {SessionState::RcptTo, 451, "4.2.1", false},
        {SessionState::RcptTo, 451, "4.7.1", false},   {SessionState::RcptTo, 450, "4.2.0", false},
        {SessionState::RcptTo, 550, "4.7.0", false},   {SessionState::Auth, 454, "4.7.0", false},
        {SessionState::StartTls, 454, "4.7.0", false}, {SessionState::RcptTo, 452, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " " + c.status + " in " + std::string(smtp::StateName(c.state)));
        EXPECT_EQ(IsThrottling(c.state, c.code, c.status), c.throttling);
    }
}

// A pipelined transaction delivered to some addresses while another drew a throttling reply: the
// served ones leave the row, the throttled one stays with no retry clock, and the drain ends.
TEST(DeliveryPolicy, AThrottledAddressOfADeliveredMessageEndsTheDrain) {
    DeliveryResult result = DeliveryResult::Success();
    result.Recipients = {{"a@example", 250, "250 ok", ""}, {"b@example", 451, "451 4.7.0 slow down", "4.7.0"}};
    SmtpSettings smtp;
    smtp.Host = "mail.example";
    smtp.Port = 25;
    DeliveryDecision decision = DecideDelivery(result, 7, "a@example, b@example", smtp);
    EXPECT_TRUE(decision.Throttled);
    EXPECT_EQ(decision.Action, DeliveryAction::Defer);
    EXPECT_FALSE(decision.BackOff);
    ASSERT_EQ(decision.Addresses.size(), 2u);
    EXPECT_EQ(decision.Addresses[0].Fate, RecipientFate::Delivered);
    EXPECT_EQ(decision.Addresses[1].Fate, RecipientFate::Kept);
    EXPECT_EQ(decision.Warning, "Mail server mail.example:25 is throttling: no more mail is sent this cycle, and "
                                "the queued mail waits without counting against any row's retries: "
                                "RCPT TO:<b@example> answered 451 4.7.0 slow down");
    EXPECT_EQ(RecipientsSent(result), 1);
}

}  // namespace
}  // namespace tessel::cycle
