#include "cycle/alarm_dispatch.h"

#include "cycle_fixture.h"

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
