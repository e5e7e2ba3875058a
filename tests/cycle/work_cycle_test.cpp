#include "cycle/work_cycle.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cycle_fixture.h"
#include "support/loopback.h"
#include "util/error.h"

namespace tessel::cycle::test {
namespace {

// A loopback port that is bound but never listens: every connect to it is refused.
class RefusingPort {
public:
    RefusingPort() : fd_(tessel::test::BindLoopback(0, 0)), port_(tessel::test::BoundPort(fd_)) {}
    ~RefusingPort() { ::close(fd_); }
    int Port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

TEST_F(CycleTest, UnreachableDatabaseEndsTheCycleQuietly) {
    RefusingPort refusing;
    auto parameters = tdb.Parameters();
    parameters.Port = refusing.Port();
    db.SetParameters(parameters);
    WorkCycle cycle = Cycle();
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::NotConnected);
    EXPECT_FALSE(db.IsConnected());
    EXPECT_NE(cycle.LastConnectError(), "");
    // And the next cycle tries again.
    db.SetParameters(tdb.Parameters());
    UsualSettings();
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(cycle.LastConnectError(), "");
}

TEST_F(CycleTest, CompletedCycleKeepsItsSessionAndTheLease) {
    UsualSettings();
    WorkCycle cycle = Cycle();
    cycle.NameInstance("host-a", "11");
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    ASSERT_TRUE(db.IsConnected());
    EXPECT_TRUE(cycle.LastReport().HoldsLock);
    ASSERT_TRUE(cycle.LastReport().Holder);
    EXPECT_EQ(cycle.LastReport().Holder->Host, "host-a");
    EXPECT_EQ(sql().Scalar("SELECT LEFT(Valor, 12) FROM configs WHERE Propriedade = 'service.active'"),
              "host-a;11;1;");
    // The next cycle works on the same session.
    unsigned long session = db.ConnectionId();
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(db.ConnectionId(), session);
}

TEST_F(CycleTest, HoldSwitchStopsBeforeAnyAlarmOrMail) {
    UsualSettings();
    Set("email.outlook", "1");
    sql().Exec("INSERT INTO alarmes (Data, Hora, Alarme, Email, SMS, EmailDest) "
               "VALUES ('2026-03-07', '10:15:00', 0, 1, 0, 'a@example')");
    sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario) VALUES ('s@example', 'r@example')");
    EXPECT_EQ(Cycle().RunCycle(), CycleOutcome::Held);
    EXPECT_FALSE(db.IsConnected());
    EXPECT_TRUE(sender.Calls.empty());
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM alarmes WHERE Email = 1"), "1");
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM mail_spooler"), "1");
}

TEST_F(CycleTest, MissingTlsSettingFailsTheCycleEvenWithTheHoldSwitchOn) {
    UsualSettings();
    sql().Exec("DELETE FROM configs WHERE Propriedade = 'email.ssl'");
    Set("email.outlook", "1");
    try {
        Cycle().RunCycle();
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
}

}  // namespace
}  // namespace tessel::cycle::test
