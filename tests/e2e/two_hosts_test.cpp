// Two copies of the real service on one database, as an active and a standby host: nothing is sent
// twice, and the standby takes over when the active one dies.
#include <signal.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <thread>

#include "e2e_fixture.h"
#include "metrics_reader.h"
#include "service_process.h"
#include "support/smtp_sink.h"

namespace tessel::e2e {
namespace {

using namespace std::chrono_literals;

constexpr auto kWaitLimit = std::chrono::milliseconds(60000);
constexpr int kTickMs = 2;

const std::string kActive = "TesselComService: This instance is active: it holds the lock ";
const std::string kStandby = "TesselComService: This instance is on standby: another instance holds the lock ";

// EnableMetrics - adds the metrics file to the configs.ini of the install in dir.
void EnableMetrics(const test::TempDir& dir, const std::string& path) {
    std::ofstream(dir.File("bin/configs.ini"), std::ios::app) << "[METRICS]\nFile=" << path << "\n";
}

class TwoHostsTest : public EndToEndTest {
protected:
    // QueueDueAlarms - count alarms due in the current local minute (the service's clock), each
    // with one e-mail; waits for a fresh minute first when this one is nearly over.
    void QueueDueAlarms(int count) {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        ::localtime_r(&now, &local);
        if (local.tm_sec > 40) {
            std::this_thread::sleep_for(std::chrono::seconds(61 - local.tm_sec));
            now = std::time(nullptr);
            ::localtime_r(&now, &local);
        }
        char date[16], time[16];
        std::strftime(date, sizeof date, "%Y-%m-%d", &local);
        std::strftime(time, sizeof time, "%H:%M:00", &local);
        for (int i = 0; i < count; ++i) {
            sql().Exec(std::string("INSERT INTO alarmes (Data, Hora, Alarme, Email, SMS, EmailDest, EmailAssunto) "
                                   "VALUES ('") + date + "', '" + time + "', 0, 1, 0, 'alarm" +
                       std::to_string(i) + "@example.test', 'Alarm')");
        }
    }
    int AlarmCount() { return std::stoi(sql().Scalar("SELECT COUNT(*) FROM alarmes").value()); }

    test::TempDir hostA, hostB;
};

TEST_F(TwoHostsTest, TwoServicesOnOneDatabaseSendEveryRowAndEveryAlarmOnce) {
    constexpr int kRows = 200;
    constexpr int kAlarms = 3;
    test::SmtpSink::Options options;
    options.KeepData = false;
    test::SmtpSink sink(options);
    MailServer(sink.Port());
    ServiceInstall a(hostA, tdb.Parameters());
    ServiceInstall b(hostB, tdb.Parameters());
    EnableMetrics(hostA, hostA.File("metrics.prom"));
    EnableMetrics(hostB, hostB.File("metrics.prom"));
    RunningService runA(a, hostA, kTickMs, {});
    RunningService runB(b, hostB, kTickMs, {});

    // The queue fills while both run.
    QueueDueAlarms(kAlarms);
    for (int i = 0; i < kRows; ++i) {
        Queue("row" + std::to_string(i) + "@example.test");
        if (i % 20 == 0) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(sink.WaitForCount(kRows + kAlarms, kWaitLimit));
    EXPECT_TRUE(WaitUntil([&] { return QueuedCount() == 0 && AlarmCount() == 0; }, kWaitLimit));
    runA.Signal(SIGTERM);
    runB.Signal(SIGTERM);
    ProcessResult endA = runA.Wait();
    ProcessResult endB = runB.Wait();

    EXPECT_EQ(endA.Status, 0) << endA.Err;
    EXPECT_EQ(endB.Status, 0) << endB.Err;
    EXPECT_EQ(sink.Count(), static_cast<std::size_t>(kRows + kAlarms)) << "nothing was sent twice";
    auto counts = sink.RecipientCounts();
    EXPECT_EQ(counts.size(), static_cast<std::size_t>(kRows + kAlarms));
    for (const auto& [recipient, count] : counts) EXPECT_EQ(count, 1) << recipient;
    // One of them worked from its first cycle on, the other waited all along.
    bool aActive = Contains(endA.Err, kActive);
    const std::string& standbyErr = aActive ? endB.Err : endA.Err;
    EXPECT_NE(aActive, Contains(endB.Err, kActive)) << endA.Err << "\n---\n" << endB.Err;
    EXPECT_TRUE(Contains(standbyErr, kStandby + "tesselcomsvc." + tdb.Name())) << standbyErr;
    // Both hosts' counters together tell the same story.
    ParsedMetrics ma = ParseMetrics(hostA.File("metrics.prom"));
    ParsedMetrics mb = ParseMetrics(hostB.File("metrics.prom"));
    ASSERT_EQ(ma.Error + mb.Error, "");
    const std::string delivered = "tesselcom_messages_total{result=\"delivered\"}";
    EXPECT_EQ(ma.Samples[delivered] + mb.Samples[delivered], kRows + kAlarms);
    EXPECT_EQ(ma.Samples["tesselcom_alarms_dispatched_total{}"] + mb.Samples["tesselcom_alarms_dispatched_total{}"],
              kAlarms);
}

TEST_F(TwoHostsTest, TheStandbyFinishesTheQueueWhenTheActiveIsKilledMidDrain) {
    constexpr int kRows = 150;
    constexpr int kKillAt = 40;
    std::atomic<pid_t> victim{-1};
    std::atomic<int> stored{0};
    test::SmtpSink::Options options;
    options.KeepData = false;
    // The kill lands after the message is stored and before the server's 250 reaches the active
    // service: that message is in flight and its row is still queued.
    options.OnMessage = [&](const test::SinkMessage&) {
        if (++stored == kKillAt) ::kill(victim.load(), SIGKILL);
    };
    test::SmtpSink sink(options);
    MailServer(sink.Port());
    ServiceInstall a(hostA, tdb.Parameters());
    ServiceInstall b(hostB, tdb.Parameters());
    RunningService runA(a, hostA, kTickMs, {});
    ASSERT_TRUE(WaitUntil([&] { return Contains(runA.Err(), kActive); }, kWaitLimit)) << runA.Err();
    RunningService runB(b, hostB, kTickMs, {});
    ASSERT_TRUE(WaitUntil([&] { return Contains(runB.Err(), kStandby); }, kWaitLimit)) << runB.Err();
    victim = runA.Pid();

    for (int i = 0; i < kRows; ++i) Queue("row" + std::to_string(i) + "@example.test");
    ProcessResult endA = runA.Wait();
    EXPECT_EQ(endA.Status, 128 + SIGKILL);
    EXPECT_TRUE(WaitUntil([&] { return sink.RecipientCounts().size() == kRows && QueuedCount() == 0; },
                          kWaitLimit));
    runB.Signal(SIGTERM);
    ProcessResult endB = runB.Wait();

    EXPECT_EQ(endB.Status, 0);
    EXPECT_TRUE(Contains(endB.Err, kActive)) << "the standby took over: " << endB.Err;
    int duplicates = 0;
    for (const auto& [recipient, count] : sink.RecipientCounts()) {
        EXPECT_GE(count, 1) << recipient;
        duplicates += count - 1;
    }
    // Only the message in flight at the kill went twice.
    EXPECT_EQ(duplicates, 1);
    EXPECT_EQ(sink.RecipientCounts()["row" + std::to_string(kKillAt - 1) + "@example.test"], 2);
    RecordProperty("sent_twice", duplicates);
}

TEST_F(TwoHostsTest, OnceWhileAnotherSessionHoldsTheLockIsAStandbyAndSendsNothing) {
    test::SmtpSink sink;
    MailServer(sink.Port());
    Queue("r@example.test");
    const auto& server = test::TestServer();
    auto holder = std::make_unique<test::SqlSession>(server, server.User, server.Password, tdb.Name());
    ASSERT_EQ(holder->Scalar("SELECT GET_LOCK('tesselcomsvc." + tdb.Name() + "', 0)"), "1");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult standby = install.RunOnce();
    EXPECT_EQ(standby.Status, 0);
    EXPECT_EQ(standby.Err, kStandby + "tesselcomsvc." + tdb.Name() +
                               "; no alarm is dispatched and no mail sent here until it is free\n");
    EXPECT_EQ(sink.Count(), 0u);
    EXPECT_EQ(QueuedCount(), 1);

    holder.reset();
    ProcessResult active = install.RunOnce();
    EXPECT_EQ(active.Status, 0);
    EXPECT_TRUE(Contains(active.Err, kActive)) << active.Err;
    EXPECT_EQ(sink.Count(), 1u);
    EXPECT_EQ(QueuedCount(), 0);
}

}  // namespace
}  // namespace tessel::e2e
