// Two copies of the real service on one database, as an active and a standby host: nothing is sent
// twice, and the standby takes over when the active one dies, stops or freezes past its lease.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <memory>
#include <thread>

#include "cycle/work_right.h"
#include "e2e_fixture.h"
#include "metrics_reader.h"
#include "service_process.h"
#include "support/smtp_sink.h"
#include "waits.h"

namespace tessel::e2e {
namespace {

using namespace std::chrono_literals;

constexpr int kTickMs = 2;

const std::string kActive = "TesselComService: This instance is active: it holds the lease service.active ";
const std::string kStandby = "TesselComService: This instance is on standby: ";
// A lease short enough for a test, and long enough that a loaded machine renews it in time.
const std::string kTestLeaseSeconds = "3";

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
    // The standby stops first: stopped the other way round, it would rightly take over the work the
    // active one hands over when it stops.
    ProcessResult endA, endB;
    if (Contains(runA.Err(), kActive)) {
        runB.Signal(SIGTERM);
        endB = runB.Wait();
        runA.Signal(SIGTERM);
        endA = runA.Wait();
    } else {
        runA.Signal(SIGTERM);
        endA = runA.Wait();
        runB.Signal(SIGTERM);
        endB = runB.Wait();
    }

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
    EXPECT_TRUE(Contains(standbyErr, kStandby + cycle::LocalHostName() + " (process ")) << standbyErr;
    EXPECT_TRUE(Contains(standbyErr, " holds the lease service.active (epoch 1, until ")) << standbyErr;
    // Both hosts' counters together tell the same story.
    ParsedMetrics ma = ParseMetrics(hostA.File("metrics.prom"));
    ParsedMetrics mb = ParseMetrics(hostB.File("metrics.prom"));
    ASSERT_EQ(ma.Error + mb.Error, "");
    const std::string delivered = "tesselcom_messages_total{result=\"delivered\"}";
    EXPECT_EQ(ma.Samples[delivered] + mb.Samples[delivered], kRows + kAlarms);
    EXPECT_EQ(ma.Samples["tesselcom_alarms_dispatched_total{}"] + mb.Samples["tesselcom_alarms_dispatched_total{}"],
              kAlarms);
    // Both name the active host and its epoch.
    const std::string epoch = "tesselcom_lease_epoch{host=\"" + cycle::LocalHostName() + "\"}";
    EXPECT_EQ(ma.Samples[epoch], 1);
    EXPECT_EQ(mb.Samples[epoch], 1);
}

// Takeover - what happened when the active host failed mid-drain and the standby took over.
struct Takeover {
    std::map<std::string, int> Counts;  // messages per recipient
    std::chrono::milliseconds Time{};   // from the failure to the standby's record of taking over
    ProcessResult EndA, EndB;
};

// FailingActive - the active host meets failure (a signal) while the server stores the message to
// the recipient of row kFailAt - 1, before its reply reaches that host; the standby takes over.
class FailingActiveTest : public TwoHostsTest {
protected:
    static constexpr int kRows = 60;
    static constexpr int kFailAt = 40;

    FailingActiveTest() {
        // One audit row per change of a queued row, naming the account that made it.
        sql().Exec("CREATE TABLE audit (ID INT AUTO_INCREMENT PRIMARY KEY, Who VARCHAR(300), RowId INT)");
        for (const char* event : {"UPDATE", "DELETE"}) {
            sql().Exec(std::string("CREATE TRIGGER audit_") + event + " AFTER " + event +
                       " ON mail_spooler FOR EACH ROW INSERT INTO audit (Who, RowId) VALUES (USER(), OLD.ID)");
        }
        Set("service.lease.seconds", kTestLeaseSeconds);
    }

    // ChangesBy - the audit rows after afterId made by the account user.
    int ChangesBy(const config::ConnectionParameters& account, const std::string& afterId) {
        return std::stoi(sql().Scalar("SELECT COUNT(*) FROM audit WHERE ID > " + afterId +
                                      " AND SUBSTRING_INDEX(Who, '@', 1) = " + sql().Quote(account.UserName))
                             .value());
    }
    std::string LastAuditId() { return sql().Scalar("SELECT COALESCE(MAX(ID), 0) FROM audit").value(); }

    // FailOnMessage - sink options whose kFailAt-th stored message sends sig to the active host
    // (after the message is stored and before the server's 250 reaches it: that message is in flight
    // and its row is still queued).
    test::SmtpSink::Options FailOnMessage(int sig) {
        test::SmtpSink::Options options;
        options.KeepData = false;
        options.OnMessage = [this, sig](const test::SinkMessage&) {
            if (++stored_ != kFailAt) return;
            failedAt_ = std::chrono::steady_clock::now().time_since_epoch().count();
            const pid_t victim = victim_.load();
            ::kill(victim, sig);
            // A stop takes hold of the process's threads one after the other: the reply waits until
            // the last one has stopped, or the thread awaiting it might still read it first.
            if (sig == SIGSTOP) {
                siginfo_t stopped{};
                ::waitid(P_PID, static_cast<id_t>(victim), &stopped, WSTOPPED);
            }
        };
        return options;
    }
    // StartBoth - host A started and active, then host B started and on standby; A is the one that
    // FailOnMessage signals.
    void StartBoth(test::SmtpSink& sink) {
        MailServer(sink.Port());
        installA = std::make_unique<ServiceInstall>(hostA, accountA);
        installB = std::make_unique<ServiceInstall>(hostB, accountB);
        runA = std::make_unique<RunningService>(*installA, hostA, kTickMs, std::vector<std::string>{});
        ASSERT_TRUE(WaitUntil([&] { return Contains(runA->Err(), kActive); }, kWaitLimit)) << runA->Err();
        runB = std::make_unique<RunningService>(*installB, hostB, kTickMs, std::vector<std::string>{});
        ASSERT_TRUE(WaitUntil([&] { return Contains(runB->Err(), kStandby); }, kWaitLimit)) << runB->Err();
        victim_ = runA->Pid();
    }
    // WaitForTakeover - waits for B's record of taking over; records the time since the failure.
    void WaitForTakeover() {
        ASSERT_TRUE(WaitUntil([&] { return Contains(runB->Err(), kActive); }, kWaitLimit)) << Logs();
        auto failed = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(failedAt_.load()));
        RecordProperty("takeover_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           std::chrono::steady_clock::now() - failed)
                                                           .count()));
    }
    // Logs - what both hosts wrote so far, for a failure's message.
    std::string Logs() const {
        return "host A:\n" + (runA ? runA->Err() : std::string()) + "---\nhost B:\n" +
               (runB ? runB->Err() : std::string());
    }
    // Duplicates - the messages the sink got more than once.
    static int Duplicates(test::SmtpSink& sink) {
        int duplicates = 0;
        for (const auto& [recipient, count] : sink.RecipientCounts()) duplicates += count - 1;
        return duplicates;
    }

    const config::ConnectionParameters accountA = tdb.Account("a");
    const config::ConnectionParameters accountB = tdb.Account("b");
    std::unique_ptr<ServiceInstall> installA, installB;
    std::unique_ptr<RunningService> runA, runB;

private:
    std::atomic<pid_t> victim_{-1};
    std::atomic<int> stored_{0};
    std::atomic<std::chrono::steady_clock::time_point::rep> failedAt_{0};
};

TEST_F(FailingActiveTest, TheStandbyFinishesTheQueueWhenTheActiveIsKilledMidDrain) {
    test::SmtpSink sink(FailOnMessage(SIGKILL));
    StartBoth(sink);
    if (HasFatalFailure()) return;

    for (int i = 0; i < kRows; ++i) Queue("row" + std::to_string(i) + "@example.test");
    ProcessResult endA = runA->Wait();
    EXPECT_EQ(endA.Status, 128 + SIGKILL);
    WaitForTakeover();
    EXPECT_TRUE(WaitUntil([&] { return sink.RecipientCounts().size() == kRows && QueuedCount() == 0; },
                          kWaitLimit));
    runB->Signal(SIGTERM);
    ProcessResult endB = runB->Wait();

    EXPECT_EQ(endB.Status, 0);
    EXPECT_TRUE(Contains(endB.Err, "holds the lease service.active (epoch 2, until ")) << endB.Err;
    // Only the message in flight at the kill went twice.
    EXPECT_EQ(Duplicates(sink), 1);
    EXPECT_EQ(sink.RecipientCounts()["row" + std::to_string(kFailAt - 1) + "@example.test"], 2);
    RecordProperty("sent_twice", Duplicates(sink));
}

TEST_F(FailingActiveTest, AnActiveFrozenPastItsLeaseChangesNothingWhenItWakes) {
    test::SmtpSink::Options options = FailOnMessage(SIGSTOP);
    // The sink serves one connection at a time: it does not wait for the frozen host.
    options.CloseAfterReply = [](const test::SinkMessage&) { return true; };
    // The row in flight has a second recipient that is refused for now: the row stays queued after
    // the takeover, so the frozen host, once awake, would have a row to change.
    options.Answer = [](const std::string& command) {
        return Contains(command, "slow@example.test") ? std::string("451 4.3.0 try later") : std::string();
    };
    test::SmtpSink sink(options);
    StartBoth(sink);
    if (HasFatalFailure()) return;

    const std::string inFlight = "row" + std::to_string(kFailAt - 1) + "@example.test";
    for (int i = 0; i < kRows; ++i) {
        Queue(i == kFailAt - 1 ? inFlight + ";slow@example.test" : "row" + std::to_string(i) + "@example.test");
    }
    WaitForTakeover();
    ASSERT_TRUE(WaitUntil([&] {
        return sink.RecipientCounts().size() == kRows && QueuedIds().find(',') == std::string::npos &&
               sql().Scalar("SELECT Destinatario FROM mail_spooler") == std::optional<std::string>("slow@example.test");
    }, kWaitLimit)) << QueuedIds() << "\n" << Logs();
    const std::string beforeWaking = LastAuditId();
    runA->Signal(SIGCONT);
    ASSERT_TRUE(WaitUntil([&] { return Contains(runA->Err(), "this instance stops without changing the queue"); },
                          kWaitLimit))
        << runA->Err();
    // Its next cycle finds the lease taken.
    ASSERT_TRUE(WaitUntil([&] { return Contains(runA->Err(), kStandby); }, kWaitLimit)) << runA->Err();
    EXPECT_EQ(ChangesBy(accountA, beforeWaking), 0) << "the woken host changed the queue";
    EXPECT_EQ(sql().Scalar("SELECT Destinatario FROM mail_spooler"), "slow@example.test");
    runA->Signal(SIGTERM);
    runB->Signal(SIGTERM);
    ProcessResult endA = runA->Wait();
    ProcessResult endB = runB->Wait();

    EXPECT_EQ(endA.Status, 0) << endA.Err;
    EXPECT_EQ(endB.Status, 0) << endB.Err;
    EXPECT_EQ(Duplicates(sink), 1) << "only the message in flight went twice\n" << endA.Err << "---\n" << endB.Err;
    EXPECT_EQ(sink.RecipientCounts()[inFlight], 2);
}

TEST_F(TwoHostsTest, TwoServicesStartedAtOnceMakeOneActiveEveryTime) {
    constexpr int kRounds = 20;
    test::SmtpSink sink;
    MailServer(sink.Port());
    std::vector<long long> cleanStopTakeoverMs;
    for (int round = 0; round < kRounds; ++round) {
        // Half the rounds start without the lease row, so both insert it at once.
        if (round % 2 == 0) sql().Exec("DELETE FROM configs WHERE Propriedade = 'service.active'");
        // Fresh directories: each process's standard error is read from its own file.
        test::TempDir dirA, dirB;
        ServiceInstall a(dirA, tdb.Parameters());
        ServiceInstall b(dirB, tdb.Parameters());
        RunningService runA(a, dirA, kTickMs, {});
        RunningService runB(b, dirB, kTickMs, {});
        auto decided = [](const RunningService& run) {
            std::string err = run.Err();
            return Contains(err, kActive) || Contains(err, kStandby);
        };
        ASSERT_TRUE(WaitUntil([&] { return decided(runA) && decided(runB); }, kWaitLimit))
            << runA.Err() << "\n---\n" << runB.Err();
        bool aActive = Contains(runA.Err(), kActive);
        EXPECT_NE(aActive, Contains(runB.Err(), kActive)) << "round " << round << ":\n" << runA.Err() << "\n---\n"
                                                          << runB.Err();
        EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM configs WHERE Propriedade = 'service.active'"), "1");
        // A clean stop of the active one gives the lease up: the other takes over at its next cycle.
        RunningService& active = aActive ? runA : runB;
        RunningService& standby = aActive ? runB : runA;
        auto stopped = std::chrono::steady_clock::now();
        active.Signal(SIGTERM);
        EXPECT_EQ(active.Wait().Status, 0);
        EXPECT_TRUE(WaitUntil([&] { return Contains(standby.Err(), kActive); }, kWaitLimit)) << standby.Err();
        cleanStopTakeoverMs.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - stopped)
                                          .count());
        standby.Signal(SIGTERM);
        EXPECT_EQ(standby.Wait().Status, 0);
    }
    RecordProperty("clean_stop_takeover_ms_min",
                   static_cast<int>(*std::min_element(cleanStopTakeoverMs.begin(), cleanStopTakeoverMs.end())));
    RecordProperty("clean_stop_takeover_ms_max",
                   static_cast<int>(*std::max_element(cleanStopTakeoverMs.begin(), cleanStopTakeoverMs.end())));
}

TEST_F(TwoHostsTest, AValidLeaseOfAnotherHostMakesOnceAStandbyAndSendsNothing) {
    test::SmtpSink sink;
    MailServer(sink.Port());
    Queue("r@example.test");
    Set("service.active", "other-host;4242;7;9999-12-31 23:59:59");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult standby = install.RunOnce();
    EXPECT_EQ(standby.Status, 0);
    EXPECT_EQ(standby.Err, "TesselComService: This instance is on standby: other-host (process 4242) holds the lease "
                           "service.active (epoch 7, until 9999-12-31 23:59:59 UTC); no alarm is dispatched and no "
                           "mail sent here until it is free\n");
    EXPECT_EQ(sink.Count(), 0u);
    EXPECT_EQ(QueuedCount(), 1);

    // The lease runs out: the next run takes it with the next epoch, and gives it up as it ends.
    Set("service.active", "other-host;4242;7;2000-01-01 00:00:00");
    ProcessResult active = install.RunOnce();
    EXPECT_EQ(active.Status, 0);
    EXPECT_TRUE(Contains(active.Err, kActive + "(epoch 8, until ")) << active.Err;
    EXPECT_EQ(sink.Count(), 1u);
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_EQ(sql().Scalar("SELECT Valor < CONCAT(SUBSTRING_INDEX(Valor, ';', 3), ';', "
                           "DATE_FORMAT(UTC_TIMESTAMP(6), '%Y-%m-%d %H:%i:%s.%f')) FROM configs WHERE Propriedade = 'service.active'"),
              "1")
        << "released at the end of the run";
}

TEST_F(TwoHostsTest, AnAccountThatMayNotWriteConfigsKeepsTheLockWithAWarning) {
    test::SmtpSink sink;
    MailServer(sink.Port());
    Queue("r@example.test");
    ServiceInstall install(dir, tdb.Account("ro", true));

    ProcessResult run = install.RunOnce();
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "TesselComService: The database account lacks the INSERT privilege on the table "
                                  "configs, so this instance cannot hold the lease service.active: it uses the lock "
                                  "tesselcomsvc." + tdb.Name() + " instead"))
        << run.Err;
    EXPECT_TRUE(Contains(run.Err, "TesselComService: This instance is active: it holds the lock tesselcomsvc." +
                                      tdb.Name() + " and does the work"))
        << run.Err;
    EXPECT_EQ(sink.Count(), 1u);
    EXPECT_EQ(QueuedCount(), 0);
}

}  // namespace
}  // namespace tessel::e2e
