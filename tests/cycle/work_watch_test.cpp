// The look for new work between cycles (cycle.watch): a new row or alarm starts a cycle, nothing
// else does, and nobody looks while the instance is held, on standby or cannot use the database.
#include <memory>

#include "cycle/work_cycle.h"
#include "cycle_fixture.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

using std::chrono::milliseconds;

class WorkWatchTest : public CycleTest {
protected:
    WorkWatchTest()
        : sink_([this](Severity severity, const std::string&, const std::string& text) {
              if (severity == Severity::Warning) warnings.push_back(text);
          }) {
        UsualSettings();
        Set("cycle.watch", "1000");
    }
    void QueueRow() {
        sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario) VALUES ('s@example', 'r@example')");
    }
    void Change(const std::string& key, const std::string& value) {
        sql().Exec("UPDATE configs SET Valor = " + sql().Quote(value) + " WHERE Propriedade = " + sql().Quote(key));
    }

    std::vector<std::string> warnings;

private:
    ScopedEventSink sink_;
};

TEST_F(WorkWatchTest, ANewRowOrAlarmStartsACycleAndNothingElseDoes) {
    WorkCycle cycle = Cycle();
    ASSERT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(cycle.WatchInterval(), milliseconds(1000));
    EXPECT_FALSE(cycle.WorkWaiting());
    EXPECT_FALSE(cycle.WorkWaiting());

    QueueRow();
    EXPECT_TRUE(cycle.WorkWaiting());
    EXPECT_FALSE(cycle.WorkWaiting()) << "the same row is told once";
    ASSERT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(sender.Calls.size(), 1u);
    EXPECT_FALSE(cycle.WorkWaiting());

    sql().Exec("INSERT INTO alarmes (Data, Hora, Alarme, Email, SMS, EmailDest) "
               "VALUES ('2026-03-07', '10:15:00', 0, 1, 0, 'alarm@example')");
    EXPECT_TRUE(cycle.WorkWaiting());
}

TEST_F(WorkWatchTest, NobodyLooksWhileHeldOnStandbyOrWithoutTheSetting) {
    WorkCycle cycle = Cycle();
    ASSERT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    ASSERT_TRUE(cycle.WatchInterval());

    Set("email.outlook", "1");
    ASSERT_EQ(cycle.RunCycle(), CycleOutcome::Held);
    EXPECT_FALSE(cycle.WatchInterval());
    QueueRow();
    EXPECT_FALSE(cycle.WorkWaiting());
    sql().Exec("DELETE FROM configs WHERE Propriedade = 'email.outlook'");

    // Another host takes the lease, and later lets it go.
    const std::string lease = "UPDATE configs SET Valor = 'other-host;4242;99;";
    sql().Exec(lease + "9999-12-31 23:59:59' WHERE Propriedade = 'service.active'");
    ASSERT_EQ(cycle.RunCycle(), CycleOutcome::Standby);
    EXPECT_FALSE(cycle.WatchInterval());
    EXPECT_FALSE(cycle.WorkWaiting());
    sql().Exec(lease + "2000-01-01 00:00:00' WHERE Propriedade = 'service.active'");

    Change("cycle.watch", "");
    ASSERT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_FALSE(cycle.WatchInterval());
    EXPECT_TRUE(warnings.empty());
}

// The look reads the end of each table's primary key, never a row: EXPLAIN says the server
// answers both parts from the index alone.
TEST_F(WorkWatchTest, TheLookReadsOnlyTheEndOfEachPrimaryKey) {
    QueueRow();
    sql().Exec("INSERT INTO alarmes (Data, Hora, Email, SMS) VALUES ('2026-03-07', '10:15:00', 0, 0)");
    db.Connect();
    db::ResultHandle result = db.Cn().Query(std::string("EXPLAIN ") + kWatchQuery);
    int optimizedAway = 0;
    while (MYSQL_ROW row = ::mysql_fetch_row(result.get())) {
        std::string extra = row[9] != nullptr ? row[9] : "";
        SCOPED_TRACE(extra);
        EXPECT_TRUE(extra == "No tables used" || extra == "Select tables optimized away");
        optimizedAway += extra == "Select tables optimized away";
    }
    EXPECT_EQ(optimizedAway, 2);
}

// A value that cannot be used leaves the watch off, with one warning per value.
TEST_F(WorkWatchTest, AnUnusableIntervalIsToldOnce) {
    Change("cycle.watch", "5");
    WorkCycle cycle = Cycle();
    cycle.RunCycle();
    cycle.RunCycle();
    EXPECT_FALSE(cycle.WatchInterval());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "The setting cycle.watch cannot be used: \"5\" is not a whole number of milliseconds "
                           "from 100 to 30000; cycles keep their own rhythm");
}

// The database went away between cycles: the look fails once and nobody looks again until the
// next cycle has the session back (no reconnect loop at the look's pace).
TEST_F(WorkWatchTest, ALostSessionStopsTheLookUntilTheNextCycle) {
    WorkCycle cycle = Cycle();
    ASSERT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    std::string mine;
    {
        db::ResultHandle result = db.Cn().Query("SELECT CONNECTION_ID()");
        mine = ::mysql_fetch_row(result.get())[0];
    }
    sql().Exec("KILL " + mine);
    QueueRow();
    EXPECT_FALSE(cycle.WorkWaiting());
    EXPECT_FALSE(cycle.WatchInterval());
    ASSERT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(cycle.WatchInterval(), milliseconds(1000));
}

}  // namespace
}  // namespace tessel::cycle::test
