// Two instances in one process on one database, each with a name of its own in the lease: one works,
// and one whose lease was taken mid-drain writes nothing more.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "cycle/work_cycle.h"
#include "cycle_fixture.h"
#include "db/lease.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

class LeaseElectionTest : public CycleTest {
protected:
    LeaseElectionTest()
        : sink_([this](Severity severity, const std::string&, const std::string& text) {
              std::lock_guard<std::mutex> hold(lock_);
              (severity == Severity::Warning ? warnings : information).push_back(text);
          }) {
        UsualSettings();
        otherDb.SetParameters(tdb.Parameters());
    }
    void Queue(const std::string& recipients) {
        sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario) VALUES ('s@example', " + sql().Quote(recipients) +
                   ")");
    }
    std::string Queued() {
        return sql().Scalar("SELECT GROUP_CONCAT(Destinatario ORDER BY ID) FROM mail_spooler").value_or("");
    }
    // ExpireLease - the lease runs out (as if its holder had been frozen for longer than it lasts).
    void ExpireLease() {
        sql().Exec("UPDATE configs SET Valor = CONCAT(SUBSTRING_INDEX(Valor, ';', 3), ';2000-01-01 00:00:00') "
                   "WHERE Propriedade = 'service.active'");
    }

    db::Database otherDb;
    RecordingSender otherSender;
    std::vector<std::string> warnings, information;

private:
    std::mutex lock_;
    ScopedEventSink sink_;
};

TEST_F(LeaseElectionTest, OneWorksTheOtherWaitsAndTakesOverOnceTheLeaseRunsOut) {
    WorkCycle a = Cycle();
    a.NameInstance("host-a", "11");
    WorkCycle b(otherDb, otherSender, AttachmentRoot(), [] { return TestNow(); });
    b.NameInstance("host-b", "22");
    Queue("r@example");

    EXPECT_EQ(a.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(b.RunCycle(), CycleOutcome::Standby);
    EXPECT_EQ(a.RunCycle(), CycleOutcome::Completed) << "the holder renews";
    ASSERT_TRUE(b.LastReport().Holder);
    EXPECT_EQ(b.LastReport().Holder->Host, "host-a");
    EXPECT_EQ(sender.Recipients(), std::vector<std::string>{"r@example"});
    // The first cycle's role and summary, then the other's role.
    ASSERT_GE(information.size(), 3u);
    EXPECT_TRUE(information[0].starts_with("This instance is active: it holds the lease service.active (epoch 1, until "))
        << information[0];
    EXPECT_TRUE(information[2].starts_with("This instance is on standby: host-a (process 11) holds the lease "
                                           "service.active (epoch 1, until "))
        << information[2];

    ExpireLease();
    Queue("s@example");
    EXPECT_EQ(b.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(b.CurrentRole(), Role::Active);
    EXPECT_EQ(b.LastReport().Holder->Epoch, 2u);
    EXPECT_EQ(otherSender.Recipients(), std::vector<std::string>{"s@example"});
    EXPECT_EQ(a.RunCycle(), CycleOutcome::Standby) << "the old holder finds the lease taken";
    EXPECT_EQ(a.CurrentRole(), Role::Standby);
}

TEST_F(LeaseElectionTest, AHolderWhoseLeaseIsTakenMidDrainChangesNoRowAfterwards) {
    WorkCycle a = Cycle();
    a.NameInstance("host-a", "11");
    WorkCycle b(otherDb, otherSender, AttachmentRoot(), [] { return TestNow(); });
    b.NameInstance("host-b", "22");
    ASSERT_EQ(a.RunCycle(), CycleOutcome::Completed);
    Queue("r1@example;r2@example");
    Queue("r3@example");
    // While the first message is in flight, the lease runs out and the other instance takes it and
    // works the queue; a row is queued after that.
    sender.OnSend = [&](const SendCall&) {
        if (sender.Calls.size() != 1) return;
        ExpireLease();
        EXPECT_EQ(b.RunCycle(), CycleOutcome::Completed);
        Queue("r4@example");
    };

    EXPECT_EQ(a.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(sender.Recipients(), std::vector<std::string>{"r1@example"}) << "nothing after the message in flight";
    EXPECT_EQ(otherSender.Recipients(), (std::vector<std::string>{"r1@example", "r2@example", "r3@example"}));
    EXPECT_EQ(Queued(), "r4@example") << "the old holder neither wrote its progress nor took the new row";
    EXPECT_NE(std::find(warnings.begin(), warnings.end(),
                        "Another instance took the lease service.active: this instance stops without changing the queue"),
              warnings.end());
    EXPECT_FALSE(a.LastReport().HoldsLock);
    EXPECT_EQ(a.RunCycle(), CycleOutcome::Standby);
}

// The lease is taken while a row's message is in flight, and the new holder has not touched the row
// yet: the old holder's removal (a row of one recipient) or rewrite (a row of two) must not happen.
TEST_F(LeaseElectionTest, AHolderWhoseLeaseIsTakenWhileItSendsLeavesTheRowAsItWas) {
    otherDb.Connect();
    for (const std::string recipients : {"r1@example", "r1@example;r2@example"}) {
        sql().Exec("DELETE FROM mail_spooler");
        sql().Exec("UPDATE configs SET Valor = '' WHERE Propriedade = 'service.active'");
        warnings.clear();
        RecordingSender sent;
        WorkCycle a(db, sent, AttachmentRoot(), [] { return TestNow(); });
        a.NameInstance("host-a", "11");
        ASSERT_EQ(a.RunCycle(), CycleOutcome::Completed);
        Queue(recipients);
        sent.OnSend = [&](const SendCall&) {
            ExpireLease();
            EXPECT_EQ(db::TakeLease(otherDb.Cn(), "host-b", "22", std::chrono::seconds(60)), 1u);
        };

        EXPECT_EQ(a.RunCycle(), CycleOutcome::Completed);
        EXPECT_EQ(sent.Recipients(), std::vector<std::string>{"r1@example"}) << recipients;
        EXPECT_EQ(Queued(), recipients) << "the old holder changed the row after the takeover";
        EXPECT_NE(std::find(warnings.begin(), warnings.end(),
                            "Another instance took the lease service.active: this instance stops without changing the "
                            "queue"),
                  warnings.end())
            << recipients;
    }
}

}  // namespace
}  // namespace tessel::cycle::test
