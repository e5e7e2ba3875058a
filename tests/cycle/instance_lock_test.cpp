// Two instances on one database whose account may only read configs, so that no lease can be held:
// only the session that holds the work lock dispatches and sends.
#include <mutex>

#include "cycle/work_cycle.h"
#include "cycle_fixture.h"
#include "db/instance_lock.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

class InstanceLockTest : public CycleTest {
protected:
    InstanceLockTest()
        : sink_([this](Severity severity, const std::string&, const std::string& text) {
              if (severity == Severity::Information) information.push_back(text);
              if (severity == Severity::Warning) warnings.push_back(text);
          }) {
        UsualSettings();
        // The row is there (an operator inserted it): what is missing is the right to change it.
        Set("service.active", "");
        db.SetParameters(account);
    }

    // OtherSession - a second client of the test database, as another host's service would be.
    std::unique_ptr<tessel::test::SqlSession> OtherSession() {
        const auto& server = tessel::test::TestServer();
        return std::make_unique<tessel::test::SqlSession>(server, server.User, server.Password, tdb.Name());
    }
    void DueAlarm() {
        sql().Exec("INSERT INTO alarmes (Data, Hora, Alarme, Email, SMS, EmailDest) "
                   "VALUES ('2026-03-07', '10:15:00', 0, 1, 0, 'alarm@example')");
    }
    std::string Count(const std::string& table) {
        return sql().Scalar("SELECT COUNT(*) FROM " + table).value_or("");
    }

    std::vector<std::string> information;
    std::vector<std::string> warnings;
    const config::ConnectionParameters account = tdb.Account("lock", true);
    const std::string lock = "tesselcomsvc." + tdb.Name();

private:
    ScopedEventSink sink_;
};

TEST_F(InstanceLockTest, ALockHeldElsewhereMakesTheCycleAStandbyUntilItIsFree) {
    auto other = OtherSession();
    ASSERT_EQ(other->Scalar("SELECT GET_LOCK(" + other->Quote(lock) + ", 0)"), "1");
    DueAlarm();
    sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario) VALUES ('s@example', 'r@example')");
    WorkCycle cycle = Cycle();

    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Standby);
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Standby);
    EXPECT_FALSE(db.IsConnected()) << "a standby keeps no session between cycles";
    EXPECT_FALSE(cycle.LastReport().HoldsLock);
    EXPECT_TRUE(sender.Calls.empty());
    EXPECT_EQ(Count("alarmes"), "1");
    EXPECT_EQ(Count("mail_spooler"), "1");
    EXPECT_EQ(information, (std::vector<std::string>{
                               "This instance is on standby: another instance holds the lock " + lock +
                               "; no alarm is dispatched and no mail sent here until it is free"}))
        << "one record for the change, none for the second standby cycle";
    ASSERT_EQ(warnings.size(), 1u) << "one warning at the start, none at the second cycle";
    EXPECT_TRUE(warnings[0].starts_with("The database account lacks the UPDATE privilege on the table configs, so "
                                        "this instance cannot hold the lease service.active: it uses the lock " +
                                        lock + " instead"))
        << warnings[0];

    other.reset();  // the other host stops: its session ends and frees the lock
    information.clear();
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"r@example", "alarm@example"}));
    EXPECT_EQ(Count("alarmes"), "0");
    ASSERT_EQ(information.size(), 2u);
    EXPECT_EQ(information[0], "This instance is active: it holds the lock " + lock + " and does the work");
    EXPECT_EQ(information[1], "Cycle done: 1 alarms dispatched, 2 delivered, 0 refused, 0 pending, 0 deferred");
}

TEST_F(InstanceLockTest, TheStandbyTakesOverWhenTheActiveSessionIsKilledAndTheOldActiveYields) {
    db::Database secondDb;
    secondDb.SetParameters(account);
    RecordingSender secondSender;
    WorkCycle first = Cycle();
    WorkCycle second(secondDb, secondSender, AttachmentRoot(), [] { return TestNow(); });

    EXPECT_EQ(first.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(second.RunCycle(), CycleOutcome::Standby);
    EXPECT_EQ(first.RunCycle(), CycleOutcome::Completed) << "the active keeps the lock between cycles";
    EXPECT_EQ(second.RunCycle(), CycleOutcome::Standby);

    // The active host's session ends (its host vanished and the server timed the session out).
    tdb.Kill(db.ConnectionId());
    sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario) VALUES ('s@example', 'r@example')");
    EXPECT_EQ(second.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(secondSender.Recipients(), (std::vector<std::string>{"r@example"}));
    // The old active notices its lost session, opens a new one and finds the lock taken.
    EXPECT_EQ(first.RunCycle(), CycleOutcome::Standby);
    EXPECT_EQ(first.CurrentRole(), Role::Standby);
    EXPECT_TRUE(sender.Calls.empty());
}

TEST_F(InstanceLockTest, TheHoldSwitchFreesTheLockAndChangesNoRole) {
    WorkCycle cycle = Cycle();
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    Set("email.outlook", "1");
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Held);
    EXPECT_FALSE(db.IsConnected());
    EXPECT_EQ(sql().Scalar("SELECT IS_FREE_LOCK(" + sql().Quote(lock) + ")"), "1");
    EXPECT_EQ(cycle.CurrentRole(), Role::Active);
    EXPECT_EQ(information.size(), 1u) << "only the first change of role is recorded";
}

TEST_F(InstanceLockTest, ACycleObjectThatGoesFreesTheLockOfTheSessionItLeaves) {
    {
        WorkCycle cycle = Cycle();
        EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
        EXPECT_EQ(sql().Scalar("SELECT IS_FREE_LOCK(" + sql().Quote(lock) + ")"), "0");
    }
    ASSERT_TRUE(db.IsConnected()) << "the session is its owner's";
    EXPECT_EQ(sql().Scalar("SELECT IS_FREE_LOCK(" + sql().Quote(lock) + ")"), "1");
    // A standby cycle on the same session wins it now.
    EXPECT_EQ(Cycle().RunCycle(), CycleOutcome::Completed);
}

TEST_F(InstanceLockTest, TheSessionLetsTheServerEndItAfterFifteenIdleMinutes) {
    db.Connect();
    db::ResultHandle result = db.Cn().Query("SELECT @@SESSION.wait_timeout");
    MYSQL_ROW row = ::mysql_fetch_row(result.get());
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "900");
}

}  // namespace
}  // namespace tessel::cycle::test
