// The delivery log: one row per recipient outcome, written with the queued row's change, and
// nothing of it when that change does not happen.
#include "cycle/mail_log.h"

#include "cycle/spool_drain.h"
#include "cycle_fixture.h"
#include "support/delivery_facts.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

using smtp::DeliveryResult;
using tessel::test::FailedAs;
using tessel::test::FailureClass;

TEST(SplitReplyTest, TakesTheCodeAndEnhancedStatusApart) {
    struct Case {
        std::string described;
        int code;
        std::string enhanced, text;
    } cases[] = {
        {"250 2.0.0 Ok: queued as 4F2A", 250, "2.0.0", "Ok: queued as 4F2A"},
        {"451 4.7.1 Try again later", 451, "4.7.1", "Try again later"},
        {"550 No such user", 550, "", "No such user"},
        {"421", 421, "", ""},
        {"550 5.1.10 Recipient not found", 550, "5.1.10", "Recipient not found"},
        {"550 5.1 is no status", 550, "", "5.1 is no status"},
        {"Connection closed by the server", 0, "", "Connection closed by the server"},
        {"4511 not a code", 0, "", "4511 not a code"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.described);
        ReplyParts parts = SplitReply(c.described);
        EXPECT_EQ(parts.Code, c.code);
        EXPECT_EQ(parts.EnhancedStatus, c.enhanced);
        EXPECT_EQ(parts.Text, c.text);
    }
    EXPECT_EQ(SplitReply("550 5.7.1 " + std::string(600, 'x')).Text.size(), kLogTextBytes);
}

class MailLogTest : public CycleTest {
protected:
    MailLogTest() : records_([this](Severity severity, const std::string&, const std::string& text) {
        if (severity == Severity::Warning) warnings.push_back(text);
    }) {}
    void SetUp() override {
        UsualSettings();
        smtp.Host = "mail.example";
        smtp.Port = 2525;
        sql().Exec(tessel::test::ReadFile(std::string(TESSEL_SOURCE_DIR) + "/sql/mail_log.sql"));
        db.Connect();
    }
    void Queue(int id, const std::string& recipients) {
        sql().Exec("INSERT INTO mail_spooler VALUES (" + std::to_string(id) + ", 's@example', " +
                   sql().Quote(recipients) + ", 'Subject', 'Body', NULL)");
    }
    DrainResult Drain() { return DrainSpool(db, sender, smtp, AttachmentRoot(), retry); }
    // LogRows - every log row as "row|recipient|outcome|code|status|text|message-id", in order.
    std::string LogRows() {
        return sql()
            .Scalar("SELECT GROUP_CONCAT(CONCAT_WS('|', SpoolerID, Recipient, Outcome, IFNULL(ReplyCode, '-'), "
                    "IFNULL(EnhancedStatus, '-'), IFNULL(ReplyText, '-'), IFNULL(MessageID, '-')) "
                    "ORDER BY ID SEPARATOR '\\n') FROM mail_log")
            .value_or("");
    }
    std::string QueuedIds() {
        return sql().Scalar("SELECT GROUP_CONCAT(ID ORDER BY ID) FROM mail_spooler").value_or("");
    }

    SmtpSettings smtp;
    RetryTime now{};
    RetrySchedule retry{[this] { return now; }};
    std::vector<std::string> warnings;

private:
    ScopedEventSink records_;
};

DeliveryResult Taken(const std::string& messageId) {
    DeliveryResult result = DeliveryResult::Success();
    result.FinalReply = "250 2.0.0 Ok: queued as 4F2A";
    result.MessageId = messageId;
    return result;
}

DeliveryResult Refusal(FailureClass cls, int code, const std::string& reply) {
    DeliveryResult result = FailedAs(cls, "RCPT TO answered " + reply, code);
    result.Reply = reply;
    result.MessageId = "<m@h>";
    return result;
}

// Each outcome once: delivered, refused, pending, unconfirmed, given up, and a pipelined entry whose
// addresses fared differently (one log row per address).
TEST_F(MailLogTest, EveryOutcomeGetsItsRowWithTheReplyTakenApart) {
    Queue(1, "ok@example");
    Queue(2, "bad@example");
    Queue(3, "grey@example");
    Queue(4, "lost@example");
    Queue(5, "old@example");
    Queue(6, "a@example, b@example");
    retry.NoteRefusal(5, "451 4.7.1 first refusal");
    now += std::chrono::hours(121);
    sender.Result = [](const SendCall& call) -> DeliveryResult {
        if (call.Recipient == "ok@example") return Taken("<ok@h>");
        if (call.Recipient == "bad@example") return Refusal(FailureClass::Transaction, 550, "550 5.1.1 No such user");
        if (call.Recipient == "grey@example" || call.Recipient == "old@example") {
            return Refusal(FailureClass::Temporary, 451, "451 4.7.1 Greylisted");
        }
        if (call.Recipient == "lost@example") {
            DeliveryResult lost = FailedAs(FailureClass::Unconfirmed, "Connection closed by the server");
            lost.MessageId = "<lost@h>";
            return lost;
        }
        DeliveryResult split = Taken("<split@h>");
        split.Recipients = {{"a@example", 250, "250 2.1.5 Ok", "2.1.5"}, {"b@example", 550, "550 5.1.1 Unknown", "5.1.1"}};
        return split;
    };
    Drain();
    EXPECT_EQ(LogRows(),
              "1|ok@example|delivered|250|2.0.0|Ok: queued as 4F2A|<ok@h>\n"
              "2|bad@example|refused|550|5.1.1|No such user|<m@h>\n"
              "3|grey@example|pending|451|4.7.1|Greylisted|<m@h>\n"
              "4|lost@example|unconfirmed|-|-|Connection closed by the server|<lost@h>\n"
              "5|old@example|given up|451|4.7.1|Greylisted|<m@h>\n"
              "6|a@example|delivered|250|2.0.0|Ok: queued as 4F2A|<split@h>\n"
              "6|b@example|refused|550|5.1.1|Unknown|<split@h>");
    EXPECT_EQ(QueuedIds(), "3");
}

// A row's change that the database refuses takes its log rows with it; a log that cannot be written
// does not keep the row's change from being made.
TEST_F(MailLogTest, TheLogFollowsTheRowsChangeAndNeverHoldsItBack) {
    Queue(1, "ok@example");
    sql().Exec("CREATE TRIGGER keep_row BEFORE DELETE ON mail_spooler FOR EACH ROW "
               "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'rows stay'");
    Drain();
    EXPECT_EQ(QueuedIds(), "1");
    EXPECT_EQ(LogRows(), "") << "a log row for a change that was rolled back";
    ASSERT_EQ(sender.Calls.size(), 1u);

    sql().Exec("DROP TRIGGER keep_row");
    sql().Exec("CREATE TRIGGER refuse_log BEFORE INSERT ON mail_log FOR EACH ROW "
               "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'no log today'");
    now += std::chrono::hours(1);
    warnings.clear();
    Drain();
    EXPECT_EQ(QueuedIds(), "") << "the row stayed queued because its log row was refused";
    EXPECT_EQ(LogRows(), "");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("The delivery log mail_log cannot be written for queued mail 1: "), std::string::npos)
        << warnings[0];
}

// The clean-up removes rows older than the given days, in batches, and keeps the others.
TEST_F(MailLogTest, TheCleanUpRemovesOnlyOldRows) {
    sql().Exec("INSERT INTO mail_log (SpoolerID, Recipient, Outcome, LoggedAt) "
               "SELECT seq, 'x@example', 'delivered', NOW() - INTERVAL 40 DAY FROM seq_1_to_2500");
    sql().Exec("INSERT INTO mail_log (SpoolerID, Recipient, Outcome, LoggedAt) "
               "VALUES (9, 'new@example', 'delivered', NOW() - INTERVAL 29 DAY)");
    EXPECT_TRUE(CleanUpMailLog(db, 30));
    EXPECT_EQ(sql().Scalar("SELECT GROUP_CONCAT(SpoolerID) FROM mail_log").value_or(""), "9");
}

}  // namespace
}  // namespace tessel::cycle::test
