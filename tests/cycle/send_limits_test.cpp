// Politeness to the mail server: replies that say it throttles, email.rate and email.rate.day.
#include <chrono>
#include <fstream>
#include <thread>

#include "cycle/retry_state_file.h"
#include "cycle/spool_drain.h"
#include "cycle_fixture.h"
#include "util/event_log.h"
#include "util/stop_signal.h"

namespace tessel::cycle::test {
namespace {

using smtp::DeliveryResult;
using smtp::ErrorKind;
using smtp::SessionState;
using Steady = std::chrono::steady_clock;

class SendLimitsTest : public CycleTest {
protected:
    SendLimitsTest()
        : sink_([this](Severity severity, const std::string&, const std::string& text) {
              if (severity == Severity::Warning) warnings.push_back(text);
          }) {}
    void SetUp() override {
        smtp.Host = "mail.example";
        smtp.Port = 587;
        db.Connect();
    }
    void Queue(int id, const std::string& recipients) {
        sql().Exec("INSERT INTO mail_spooler VALUES (" + std::to_string(id) + ", 's@example', " +
                   sql().Quote(recipients) + ", 'Subject', 'Body', NULL)");
    }
    DrainOutcome Drain() { return DrainSpool(db, sender, smtp, AttachmentRoot(), retry, nullptr, &carry).Outcome; }
    std::string QueuedIds() {
        return sql().Scalar("SELECT GROUP_CONCAT(ID ORDER BY ID) FROM mail_spooler").value_or("");
    }

    SmtpSettings smtp;
    std::vector<std::string> warnings;
    RetryTime now = Steady::now();
    RetrySchedule retry{[this] { return now; }};
    DrainCarry carry;

private:
    ScopedEventSink sink_;
};

DeliveryResult Refused(SessionState state, int code, const std::string& status, const std::string& text) {
    DeliveryResult result = DeliveryResult::Failure(ErrorKind::Refused, state,
                                                    "MAIL FROM answered " + std::to_string(code) + " " + status + " " +
                                                        text, code);
    result.EnhancedStatus = status;
    result.Reply = std::to_string(code) + " " + status + " " + text;
    return result;
}

// Each throttling reply ends the drain with one record quoting it; no row is put in back-off or
// starts its give-up clock, and the next drain sends every row.
TEST_F(SendLimitsTest, AThrottlingReplyEndsTheDrainWithoutTouchingAnyRow) {
    const struct {
        const char* name;
        SessionState state;
        int code;
        const char* status;
    } cases[] = {
        {"421 at the greeting", SessionState::Greeting, 421, ""},
        {"421 4.7.0 at RCPT TO", SessionState::RcptTo, 421, "4.7.0"},
        {"451 4.3.2 at MAIL FROM", SessionState::MailFrom, 451, "4.3.2"},
        {"432 4.3.2 at MAIL FROM", SessionState::MailFrom, 432, "4.3.2"},
        {"451 4.7.0 at RCPT TO", SessionState::RcptTo, 451, "4.7.0"},
        {"450 4.7.28 at the final dot", SessionState::DataEnd, 450, "4.7.28"},
        {"450 4.2.1 at RCPT TO", SessionState::RcptTo, 450, "4.2.1"},
        {"421 to the final dot", SessionState::DataEnd, 421, "4.3.2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sql().Exec("DELETE FROM mail_spooler");
        warnings.clear();
        sender.Calls.clear();
        Queue(1, "a@example");
        Queue(2, "b@example;c@example");
        Queue(3, "d@example");
        bool throttling = true;
        sender.Result = [&](const SendCall& call) {
            if (throttling && call.Recipient == "b@example") return Refused(c.state, c.code, c.status, "slow down");
            return DeliveryResult::Success();
        };
        EXPECT_EQ(Drain(), DrainOutcome::Deferred);
        EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example", "b@example"}));
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_TRUE(warnings[0].starts_with("Mail server mail.example:587 is throttling: ")) << warnings[0];
        EXPECT_NE(warnings[0].find(std::to_string(c.code) + " " + c.status + " slow down"), std::string::npos)
            << warnings[0];
        EXPECT_EQ(retry.Size(), 0u);
        EXPECT_EQ(QueuedIds(), "2,3");

        throttling = false;
        sender.Calls.clear();
        EXPECT_EQ(Drain(), DrainOutcome::Drained);
        // The drain after a throttling reply begins behind the row that drew it.
        EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"d@example", "c@example", "b@example"}));
        EXPECT_EQ(QueuedIds(), "");
    }
}

// A recipient that draws a throttling reply every time cannot hold back the rows behind it.
TEST_F(SendLimitsTest, ARecipientThatAlwaysDrawsA421DoesNotHoldBackTheQueue) {
    Queue(1, "poison@example");
    Queue(2, "a@example");
    Queue(3, "b@example");
    sender.Result = [](const SendCall& call) {
        if (call.Recipient == "poison@example") return Refused(SessionState::RcptTo, 421, "4.7.0", "not now");
        return DeliveryResult::Success();
    };
    for (int cycle = 0; cycle < 3; ++cycle) Drain();
    EXPECT_EQ(QueuedIds(), "1");
    EXPECT_FALSE(retry.Waiting(1));
    EXPECT_FALSE(retry.Refusal(1).has_value());
}

// Other temporary refusals keep their meaning: the row waits out a back-off.
TEST_F(SendLimitsTest, AnOrdinaryTemporaryRefusalIsNoThrottling) {
    Queue(1, "grey@example");
    Queue(2, "b@example");
    sender.Result = [](const SendCall& call) {
        if (call.Recipient == "grey@example") return Refused(SessionState::RcptTo, 451, "4.7.1", "greylisted");
        return DeliveryResult::Success();
    };
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"grey@example", "b@example"}));
    EXPECT_TRUE(retry.Waiting(1));
}

// email.rate = 120: the messages leave in order, at least half a second apart, also from one
// drain to the next.
TEST_F(SendLimitsTest, TheRateSpreadsTheMessages) {
    smtp.MessagesPerMinute = 120;
    for (int id = 1; id <= 4; ++id) Queue(id, "r" + std::to_string(id) + "@example");
    std::vector<Steady::time_point> sent;
    sender.OnSend = [&](const SendCall&) { sent.push_back(Steady::now()); };
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    Queue(5, "r5@example");
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"r1@example", "r2@example", "r3@example",
                                                             "r4@example", "r5@example"}));
    ASSERT_EQ(sent.size(), 5u);
    for (std::size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GE(sent[i] - sent[i - 1], std::chrono::milliseconds(500)) << i;
    }
    // Generous: the spacing alone takes two seconds; a loaded machine may add some.
    EXPECT_LT(sent.back() - sent.front(), std::chrono::seconds(60));
}

// A pause (or a stop) during the wait for the next turn ends the drain at once; the rest stays.
TEST_F(SendLimitsTest, APauseEndsTheWaitForTheNextTurn) {
    smtp.MessagesPerMinute = 1;
    Queue(1, "a@example");
    Queue(2, "b@example");
    StopSignal pause;
    carry.Pause = &pause;
    sender.OnSend = [&](const SendCall&) { pause.Request(); };
    EXPECT_EQ(Drain(), DrainOutcome::Stopped);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example"}));
    EXPECT_EQ(QueuedIds(), "2");
    EXPECT_FALSE(retry.Waiting(2));
}

// email.rate.day = 3 with two recipients counted in a state file a day ago less a minute: one
// more goes, the drain waits with one warning, and once that minute has left the window the
// queue goes on, up to the limit again.
TEST_F(SendLimitsTest, TheDailyLimitStopsAtTheLimitAndResumes) {
    smtp.RecipientsPerDay = 3;
    const std::string path = dir.Path() + "/retry-state";
    {
        RetryClocks clocks{std::chrono::system_clock::now(), now};
        std::vector<SentCount> earlier{{now - std::chrono::hours(24) + std::chrono::minutes(1), 2}};
        std::ofstream(path) << RetryStateText({}, clocks, earlier);
    }
    RetryStateFile file(path);
    file.Load(retry);
    retry.OnChange([&] { file.Save(retry); });
    ASSERT_EQ(retry.Sent().Within(now), 2);
    for (int id = 1; id <= 6; ++id) Queue(id, "r" + std::to_string(id) + "@example");

    EXPECT_EQ(Drain(), DrainOutcome::Deferred);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"r1@example"}));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("The daily limit email.rate.day = 3 is reached (3 recipients in the "
                                        "last 24 hours): the queued mail waits about 0 h "))
        << warnings[0];
    EXPECT_EQ(Drain(), DrainOutcome::Deferred);
    EXPECT_EQ(sender.Calls.size(), 1u);
    EXPECT_EQ(warnings.size(), 1u) << "one warning while the limit lasts";
    EXPECT_FALSE(retry.Waiting(2)) << "no row is at fault";

    now += std::chrono::minutes(2);
    EXPECT_EQ(Drain(), DrainOutcome::Deferred);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"r1@example", "r2@example", "r3@example"}));
    EXPECT_EQ(QueuedIds(), "4,5,6");
    EXPECT_EQ(warnings.size(), 2u) << "mail went again, so the limit is told again";

    // What was counted is in the file for the next process.
    RetrySchedule next([this] { return now; });
    file.Load(next);
    EXPECT_EQ(next.Sent().Within(now), 3);
}

// A recipient with more addresses than the limit allows in a day can never go: it waits in
// back-off with a warning, and the others go.
TEST_F(SendLimitsTest, ARecipientLargerThanTheDailyLimitDoesNotBlockTheOthers) {
    smtp.RecipientsPerDay = 2;
    Queue(1, "a@example, b@example, c@example");
    Queue(2, "d@example");
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"d@example"}));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "Queued mail 1 to \"a@example, b@example, c@example\" not sent: its 3 addresses "
                           "exceed the daily limit email.rate.day = 2");
    EXPECT_TRUE(retry.Waiting(1));
}

}  // namespace
}  // namespace tessel::cycle::test
