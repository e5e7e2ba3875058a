// The structured records of a cycle under the journal. journald does not run where the tests run,
// so a capturing Journal stands in for sd_journal_sendv and the test reads the field lists that
// would have been sent.
#include <stdlib.h>

#include <algorithm>
#include <chrono>

#include "cycle/record_kinds.h"
#include "cycle/work_cycle.h"
#include "cycle_fixture.h"
#include "support/capturing_journal.h"
#include "support/delivery_facts.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

using smtp::DeliveryResult;
using tessel::test::FailureClass;

using tessel::test::CapturingJournal;

// Field - the value of name in an entry, "<absent>" when the entry lacks it.
std::string Field(const JournalFields& entry, const std::string& name) {
    for (const std::string& field : entry) {
        if (field.rfind(name + "=", 0) == 0) return field.substr(name.size() + 1);
    }
    return "<absent>";
}

class JournalRecordsTest : public CycleTest {
protected:
    JournalRecordsTest() : journal_(captured) {
        const char* previous = ::getenv("JOURNAL_STREAM");
        if (previous) previous_ = previous;
        ::setenv("JOURNAL_STREAM", "8:12345", 1);
    }
    ~JournalRecordsTest() override {
        if (previous_) {
            ::setenv("JOURNAL_STREAM", previous_->c_str(), 1);
        } else {
            ::unsetenv("JOURNAL_STREAM");
        }
    }
    // EntryOf - the one entry of kind; fails the test when there is not exactly one.
    JournalFields EntryOf(RecordKind kind) {
        std::vector<JournalFields> found;
        for (const auto& entry : captured.Entries) {
            if (Field(entry, "MESSAGE_ID") == MessageIdOf(kind)) found.push_back(entry);
        }
        EXPECT_EQ(found.size(), 1u) << "entries of MESSAGE_ID " << MessageIdOf(kind);
        return found.empty() ? JournalFields{} : found.front();
    }

    CapturingJournal captured;

private:
    ScopedJournal journal_;
    std::optional<std::string> previous_;
};

TEST_F(JournalRecordsTest, EachRecordCarriesItsKindSourcePriorityAndTheRowRecipientAndReply) {
    UsualSettings();
    sql().Exec("INSERT INTO mail_spooler VALUES (7, 's@example', 'gone@example;ok@example', 'S', 'B', 'nosuch')");
    sql().Exec("INSERT INTO mail_spooler VALUES (8, 's@example', 'soon@example', 'S', 'B', NULL)");
    sql().Exec("INSERT INTO mail_spooler VALUES (9, 's@example', 'maybe@example', 'S', 'B', NULL)");
    sql().Exec("INSERT INTO mail_spooler VALUES (10, 's@example', 'later@example', 'S', 'B', NULL)");
    sender.Result = [](const SendCall& call) {
        auto refusal = [](FailureClass stage, const std::string& reason, int code, const std::string& reply) {
            DeliveryResult result = tessel::test::FailedAs(stage, reason, code);
            result.Reply = reply;
            return result;
        };
        if (call.Recipient == "gone@example") {
            return refusal(FailureClass::Transaction, "RCPT TO answered 550 5.1.1 No such user", 550,
                           "550 5.1.1 No such user");
        }
        if (call.Recipient == "soon@example") {
            return refusal(FailureClass::Temporary, "RCPT TO answered 450 4.2.0 Greylisted", 450,
                           "450 4.2.0 Greylisted");
        }
        if (call.Recipient == "maybe@example") {
            return tessel::test::FailedAs(FailureClass::Unconfirmed, "The connection broke after the final dot");
        }
        if (call.Recipient == "later@example") {
            return tessel::test::FailedAs(FailureClass::Session, "Cannot connect: Connection refused");
        }
        return DeliveryResult::Success();
    };
    RetryTime now{};
    WorkCycle cycle(db, sender, AttachmentRoot(), [] { return TestNow(); }, [&now] { return now; });
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    // Past the retry period, the greylisted recipient is given up (and no longer counted pending).
    now += std::chrono::hours(121);
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);

    struct Expected {
        RecordKind Kind;
        std::string Priority, Row, Recipient, Reply;
    };
    const std::vector<Expected> cases = {
        {RecordKind::BecameActive, "6", "<absent>", "<absent>", "<absent>"},
        {RecordKind::AttachmentSkipped, "4", "7", "<absent>", "<absent>"},
        {RecordKind::Refused, "4", "7", "gone@example", "550 5.1.1 No such user"},
        {RecordKind::Unconfirmed, "4", "9", "maybe@example", "<absent>"},
        {RecordKind::GivenUp, "4", "8", "soon@example", "<absent>"},
    };
    for (const Expected& c : cases) {
        SCOPED_TRACE(std::string(MessageIdOf(c.Kind)));
        JournalFields entry = EntryOf(c.Kind);
        EXPECT_EQ(Field(entry, "PRIORITY"), c.Priority);
        EXPECT_EQ(Field(entry, "SYSLOG_IDENTIFIER"), "TesselComService");
        EXPECT_EQ(Field(entry, "SYSLOG_FACILITY"), "3");
        EXPECT_EQ(Field(entry, "TESSEL_ROW_ID"), c.Row);
        EXPECT_EQ(Field(entry, "TESSEL_RECIPIENT"), c.Recipient);
        EXPECT_EQ(Field(entry, "SMTP_REPLY"), c.Reply);
    }
    // Refused for now and deferred: once in each cycle, with the same fields.
    for (RecordKind kind : {RecordKind::Pending, RecordKind::Deferred}) {
        std::vector<JournalFields> entries;
        for (const auto& entry : captured.Entries) {
            if (Field(entry, "MESSAGE_ID") == MessageIdOf(kind)) entries.push_back(entry);
        }
        ASSERT_EQ(entries.size(), 2u) << MessageIdOf(kind);
        EXPECT_EQ(Field(entries[0], "TESSEL_ROW_ID"), kind == RecordKind::Pending ? "8" : "10");
        EXPECT_EQ(Field(entries[0], "SMTP_REPLY"), kind == RecordKind::Pending ? "450 4.2.0 Greylisted" : "<absent>");
    }
    EXPECT_EQ(Field(EntryOf(RecordKind::Refused), "MESSAGE"),
              "Queued mail 7 to \"gone@example\" not delivered: RCPT TO answered 550 5.1.1 No such user");
    std::vector<std::string> summaries;
    for (const auto& entry : captured.Entries) {
        if (Field(entry, "MESSAGE_ID") == MessageIdOf(RecordKind::CycleSummary)) {
            summaries.push_back(Field(entry, "MESSAGE"));
        }
    }
    EXPECT_EQ(summaries,
              (std::vector<std::string>{
                  "Cycle done: 0 alarms dispatched, 1 delivered, 1 refused, 1 pending, 1 deferred, 1 unconfirmed",
                  "Cycle done: 0 alarms dispatched, 0 delivered, 0 refused, 0 pending, 1 deferred, 1 given up"}));
}

TEST_F(JournalRecordsTest, EveryKindHasAMessageIdOfItsOwn) {
    std::vector<std::string> ids;
    for (RecordKind kind : {RecordKind::Refused, RecordKind::Pending, RecordKind::Deferred,
                            RecordKind::GivenUp, RecordKind::Unconfirmed, RecordKind::AttachmentSkipped,
                            RecordKind::FailedOnStart, RecordKind::FailedOnExecute,
                            RecordKind::BecameActive, RecordKind::BecameStandby,
                            RecordKind::CycleSummary}) {
        std::string id(MessageIdOf(kind));
        EXPECT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    EXPECT_EQ(MessageIdOf(RecordKind::General), "");
    // A general record goes without MESSAGE_ID, with its own source.
    WriteEventLog("tesselcomsvc", "text\nwith a line break");
    ASSERT_EQ(captured.Entries.size(), 1u);
    EXPECT_EQ(captured.Entries[0],
              (JournalFields{"MESSAGE=text\nwith a line break", "PRIORITY=3", "SYSLOG_FACILITY=3",
                             "SYSLOG_IDENTIFIER=tesselcomsvc"}));
}

}  // namespace
}  // namespace tessel::cycle::test
