#include "cycle/alarm_dispatch.h"

#include "cycle_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "db/database_error.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

class AlarmDispatchTest : public CycleTest {
protected:
    void SetUp() override { db.Connect(); }

    // Alarm - one alarm row due at the test's minute unless hora says otherwise.
    void Alarm(int id, const std::string& alarme, int email, int sms, const std::string& smsDest,
               const std::string& hora = "10:15:00") {
        sql().Exec("INSERT INTO alarmes VALUES (" + std::to_string(id) + ", '2026-03-07', '" + hora +
                   "', " + alarme + ", " + std::to_string(email) + ", " + std::to_string(sms) +
                   ", 'a@example;b@example', 'Subject', 'u1;u2', 'Body text', " + sql().Quote(smsDest) +
                   ", 'Alarm!')");
    }
    void Dispatch() { DispatchAlarms(db, "alarms@example", [] { return TestNow(); }); }
    std::vector<tessel::test::SqlSession::Row> Spool() {
        return sql().Query("SELECT Remetente, Destinatario, Assunto, Texto, Anexos FROM mail_spooler "
                           "ORDER BY ID");
    }
    std::string Body(const std::string& to) {
        return "user:u\rpassword:p\rapi_id:7\rto: " + to + "\rtext:Alarm!";
    }
};

TEST(GatewayBody, FivePiecesSeparatedByCarriageReturnsOnly) {
    EXPECT_EQ(BuildGatewayBody({}, "912345678", "Alarm text"),
              "user:\rpassword:\rapi_id:\rto: 912345678\rtext:Alarm text");
    EXPECT_EQ(BuildGatewayBody({"351", " u ", "p;w", "42"}, "912345678", " t "),
              "user: u \rpassword:p;w\rapi_id:42\rto: 351912345678\rtext: t ");
}

TEST_F(AlarmDispatchTest, EmailAndThreeSmsDestinationsQueueFourRowsThenMarkOnce) {
    Set("sms.prefix", "351");
    Set("sms.user", "u");
    Set("sms.password", "p");
    Set("sms.idapi", "7");
    Alarm(1, "1", 1, 1, "911111111;922222222;933333333");
    Dispatch();
    auto rows = Spool();
    ASSERT_EQ(rows.size(), 4u);
    using R = tessel::test::SqlSession::Row;
    EXPECT_EQ(rows[0], (R{"alarms@example", "a@example;b@example", "Subject", "Body text", "u1;u2"}));
    const char* numbers[] = {"911111111", "922222222", "933333333"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i + 1], (R{"alarms@example", kGatewayIntakeAddress, "", Body(std::string("351") + numbers[i]),
                                  std::nullopt}));
    }
    EXPECT_EQ(sql().Scalar("SELECT CONCAT(Email, SMS) FROM alarmes WHERE ID = 1"), "00");
    // Marked: the same minute's next cycle finds nothing to do.
    Dispatch();
    EXPECT_EQ(Spool().size(), 4u);
}

TEST_F(AlarmDispatchTest, SmsDestinationListEdges) {
    Set("sms.user", "u");
    Set("sms.password", "p");
    Set("sms.idapi", "7");
    Alarm(1, "0", 0, 1, "911111111;");  // the empty last destination gets a row too
    Alarm(2, "0", 0, 1, "");            // no destination at all: no row, still marked
    Dispatch();
    auto rows = Spool();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][3], Body("911111111"));
    EXPECT_EQ(rows[1][3], Body(""));
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM alarmes"), "0");
}

TEST_F(AlarmDispatchTest, AlarmeOneKeepsTheRowAnythingElseDeletesIt) {
    Alarm(1, "1", 1, 0, "");
    Alarm(2, "0", 1, 0, "");
    Alarm(3, "2", 0, 1, "");
    Alarm(4, "NULL", 1, 1, "");
    Dispatch();
    EXPECT_EQ(sql().Scalar("SELECT GROUP_CONCAT(CONCAT(ID, ':', Alarme, Email, SMS)) FROM alarmes"),
              "1:100");
}

TEST_F(AlarmDispatchTest, OnlyTheCurrentMinuteOfTodayIsDue) {
    Alarm(1, "0", 1, 0, "", "10:15:40");  // seconds are ignored
    Alarm(2, "0", 1, 0, "", "10:15:59");
    Alarm(3, "0", 1, 0, "", "10:14:59");
    Alarm(4, "0", 1, 0, "", "10:16:00");
    Alarm(5, "0", 1, 0, "", "22:15:00");
    sql().Exec("UPDATE alarmes SET Data = '2026-03-08' WHERE ID = 5");
    Alarm(6, "0", 0, 0, "");  // nothing to send
    Dispatch();
    EXPECT_EQ(Spool().size(), 2u);
    EXPECT_EQ(sql().Scalar("SELECT GROUP_CONCAT(ID ORDER BY ID) FROM alarmes"), "3,4,5,6");
}

TEST_F(AlarmDispatchTest, EmptyBodyAndAttachmentsAreQueuedAsNull) {
    sql().Exec("INSERT INTO alarmes (ID, Data, Hora, Alarme, Email, SMS, EmailDest) "
               "VALUES (1, '2026-03-07', '10:15:00', 0, 1, 0, NULL)");
    Dispatch();
    auto rows = Spool();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (tessel::test::SqlSession::Row{"alarms@example", "", "", std::nullopt, std::nullopt}));
}

// Alarms whose minute passed without a cycle: those within the catch-up window go out, oldest
// first (Data, Hora, then ID); the window ends with the current minute.
class LateAlarmTest : public AlarmDispatchTest {
protected:
    LateAlarmTest()
        : sink_([this](Severity, const std::string&, const std::string& text) { warnings.push_back(text); }) {}

    // At - one e-mail alarm due at the given date and time; its subject is its ID.
    void At(int id, const std::string& date, const std::string& time, const std::string& dest = "a@example") {
        sql().Exec("INSERT INTO alarmes (ID, Data, Hora, Alarme, Email, SMS, EmailDest, EmailAssunto) VALUES (" +
                   std::to_string(id) + ", '" + date + "', '" + time + "', 0, 1, 0, " + sql().Quote(dest) + ", '" +
                   std::to_string(id) + "')");
    }
    // Subjects - the subjects of the queued rows, in queue order.
    std::string Subjects() {
        return sql().Scalar("SELECT GROUP_CONCAT(Assunto ORDER BY ID) FROM mail_spooler").value_or("");
    }
    void DispatchAt(LocalDateTime now, std::int32_t window) {
        DispatchAlarms(db, "alarms@example", [now] { return now; }, window);
    }

    std::vector<std::string> warnings;

private:
    ScopedEventSink sink_;
};

TEST_F(LateAlarmTest, TheWindowDecidesWhichLateAlarmsGoOut) {
    struct Case {
        std::int32_t window;
        std::string sent;
    } cases[] = {
        {1440, "6,3,8,20,2,1"},  // up to a day late, oldest first, equal times by ID
        {10, "2,1"},             // five minutes late and the current minute
        {0, "1"},                // the current minute only, as before
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window);
        sql().Exec("DELETE FROM alarmes");
        sql().Exec("DELETE FROM mail_spooler");
        At(1, "2026-03-07", "10:15:30");  // now
        At(2, "2026-03-07", "10:10:00");  // 5 minutes late
        At(3, "2026-03-07", "07:15:00");  // 3 hours late
        At(4, "2026-03-05", "10:15:00");  // 2 days late
        At(5, "2026-03-06", "10:14:59");  // one minute before a day's window
        At(6, "2026-03-06", "10:15:00");  // the first minute of a day's window
        At(20, "2026-03-07", "09:00:00");
        At(8, "2026-03-07", "09:00:00");
        At(9, "2026-03-07", "10:16:00");  // not yet due
        DispatchAt(TestNow(), c.window);
        EXPECT_EQ(Subjects(), c.sent);
    }
}

TEST_F(LateAlarmTest, TheWindowReachesBackOverMidnight) {
    At(1, "2026-03-06", "23:58:00");
    At(2, "2026-03-07", "00:06:00");
    At(3, "2026-02-28", "23:59:00");
    DispatchAt({std::chrono::year(2026) / 3 / 7, 0, 5}, 10);
    EXPECT_EQ(Subjects(), "1");
    DispatchAt({std::chrono::year(2026) / 3 / 1, 0, 0}, 1);  // over the end of a month
    EXPECT_EQ(Subjects(), "1,3");
}

// A cycle longer than a minute: the alarm of the minute without a cycle goes out at the next one,
// once.
TEST_F(LateAlarmTest, AMinuteWithoutACycleIsCaughtUpOnce) {
    At(1, "2026-03-07", "10:16:00");
    for (int minute : {15, 17, 18}) DispatchAt({std::chrono::year(2026) / 3 / 7, 10, minute}, 1440);
    EXPECT_EQ(Subjects(), "1");
    At(2, "2026-03-07", "10:16:00");
    for (int minute : {15, 17}) DispatchAt({std::chrono::year(2026) / 3 / 7, 10, minute}, 0);
    EXPECT_EQ(Subjects(), "1") << "without a window it is never sent";
}

// An EmailDest longer than Destinatario's 255 characters becomes several rows, cut at ";"; a single
// address longer than that is left out with a warning.
TEST_F(LateAlarmTest, AnOverLongRecipientListIsQueuedAsSeveralRows) {
    std::string list, expected;
    for (int i = 0; i < 40; ++i) {
        std::string address = "recipient" + std::to_string(i) + "@example.org";
        list += address + ";";
        expected += (i ? ";" : "") + address;
        if (i == 20) list += std::string(256, 'x') + "@example.org;";
    }
    At(1, "2026-03-07", "10:15:00", list);
    DispatchAt(TestNow(), 0);
    auto rows = sql().Query("SELECT Destinatario, Assunto FROM mail_spooler ORDER BY ID");
    ASSERT_GE(rows.size(), 3u);
    std::string joined;
    for (const auto& row : rows) {
        EXPECT_LE(row[0]->size(), 255u);
        EXPECT_EQ(row[1], "1");
        joined += (joined.empty() ? "" : ";") + *row[0];
    }
    EXPECT_EQ(joined, expected);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("Alarm 1 to \"xxxx")) << warnings[0];
    EXPECT_TRUE(warnings[0].ends_with("\": the address is longer than 255 characters and is left out")) << warnings[0];
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM alarmes"), "0");
}

// Values the server refuses skip that alarm alone: none of its rows, marked all the same, a warning.
TEST_F(LateAlarmTest, AnAlarmWhoseValuesAreRefusedIsSkippedAndTheOthersGo) {
    sql().Exec("ALTER TABLE mail_spooler MODIFY Assunto VARCHAR(5)");
    At(1, "2026-03-07", "10:10:00");
    At(2, "2026-03-07", "10:11:00");
    sql().Exec("UPDATE alarmes SET EmailAssunto = 'far too long', SMS = 1, SMSDest = '911' WHERE ID = 1");
    DispatchAt(TestNow(), 1440);
    EXPECT_EQ(Subjects(), "2");
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM alarmes"), "0");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("Alarm 1 to \"a@example\" skipped: the database refused its values: "))
        << warnings[0];
}

// An alarm that another session holds is left for a later cycle, whole; the others go.
TEST_F(LateAlarmTest, ALockedAlarmIsLeftForALaterCycle) {
    At(1, "2026-03-07", "10:14:00");
    At(2, "2026-03-07", "10:15:00");
    tessel::test::SqlSession holder(tessel::test::TestServer(), tessel::test::TestServer().User,
                                    tessel::test::TestServer().Password, tdb.Name());
    holder.Exec("START TRANSACTION");
    holder.Exec("SELECT * FROM alarmes WHERE ID = 1 FOR UPDATE");
    db.Cn().Execute("SET SESSION innodb_lock_wait_timeout = 1");
    DispatchAt(TestNow(), 1440);
    holder.Exec("ROLLBACK");
    EXPECT_EQ(Subjects(), "2");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("Alarm 1 to \"a@example\" left for a later cycle: Lock wait timeout"))
        << warnings[0];
    DispatchAt(TestNow(), 1440);
    EXPECT_EQ(Subjects(), "2,1");
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM alarmes"), "0");
}

// The connection dies after an alarm's rows were inserted and before it was marked: none of its
// rows stays, so the next cycle queues them all once.
TEST_F(LateAlarmTest, AConnectionLostBeforeTheMarkLeavesNothingOfTheAlarm) {
    sql().Exec("INSERT INTO alarmes VALUES (1, '2026-03-07', '10:15:00', 1, 1, 1, 'a@example', 'S', NULL, 'T', "
               "'911;922', 'Alarm!')");
    tessel::test::SqlSession holder(tessel::test::TestServer(), tessel::test::TestServer().User,
                                    tessel::test::TestServer().Password, tdb.Name());
    holder.Exec("START TRANSACTION");
    holder.Exec("SELECT * FROM alarmes WHERE ID = 1 FOR UPDATE");  // the mark waits for this lock
    unsigned long service = db.ConnectionId();
    std::atomic<bool> killed{false};
    std::thread killer([&] {
        tessel::test::SqlSession watcher(tessel::test::TestServer(), tessel::test::TestServer().AdminUser,
                                         tessel::test::TestServer().AdminPassword, "");
        for (int i = 0; i < 3000 && !killed; ++i) {
            auto waiting = watcher.Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " +
                                          std::to_string(service) + " AND INFO LIKE 'UPDATE alarmes%'");
            if (waiting == "1") {
                watcher.Exec("KILL CONNECTION " + std::to_string(service));
                killed = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    });
    EXPECT_THROW(DispatchAt(TestNow(), 0), db::DatabaseError);
    killer.join();
    holder.Exec("ROLLBACK");
    ASSERT_TRUE(killed);
    EXPECT_EQ(Subjects(), "") << "nothing of the alarm";
    EXPECT_EQ(sql().Scalar("SELECT CONCAT(Email, SMS) FROM alarmes WHERE ID = 1"), "11");

    db.Disconnect();
    db.Connect();
    DispatchAt(TestNow(), 0);
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM mail_spooler"), "3") << "everything, once";
    EXPECT_EQ(sql().Scalar("SELECT CONCAT(Email, SMS) FROM alarmes WHERE ID = 1"), "00");
}

TEST_F(CycleTest, AnAlarmIsQueuedAndSentInTheSameCycle) {
    UsualSettings();
    sql().Exec("INSERT INTO alarmes (Data, Hora, Alarme, Email, SMS, EmailDest, EmailAssunto) "
               "VALUES ('2026-03-07', '10:15:00', 0, 1, 0, 'a@example', 'Due')");
    EXPECT_EQ(Cycle().RunCycle(), CycleOutcome::Completed);
    ASSERT_EQ(sender.Calls.size(), 1u);
    EXPECT_EQ(sender.Calls[0].Sender, "alarms@example");
    EXPECT_EQ(sender.Calls[0].Subject, "Due");
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM mail_spooler"), "0");
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM alarmes"), "0");
}

}  // namespace
}  // namespace tessel::cycle::test
