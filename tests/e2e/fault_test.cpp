// Faults injected while the service works: the database going away between cycles and in the middle
// of a drain, a mail server that is down, breaks off a message or stops answering.
#include <signal.h>

#include <atomic>
#include <thread>

#include "e2e_fixture.h"
#include "service_process.h"
#include "support/smtp_sink.h"
#include "support/tcp_proxy.h"
#include "waits.h"

namespace tessel::e2e {
namespace {

using namespace std::chrono_literals;
using test::SmtpSink;

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class FaultTest : public EndToEndTest {
protected:
    // ThroughProxy - the service's connection parameters with the proxy in front of the server.
    config::ConnectionParameters ThroughProxy(const test::TcpProxy& proxy) {
        config::ConnectionParameters parameters = tdb.Parameters();
        parameters.Server = "127.0.0.1";
        parameters.Port = proxy.Port();
        return parameters;
    }
    std::string NotifyPath() { return dir.File("notify"); }

    mail::SmtpMailSender sender{TestTimeouts()};
};

TEST_F(FaultTest, DatabaseStoppedBetweenCyclesIsQuietAndTheNextCycleAfterItsReturnDelivers) {
    test::TcpProxy proxy(test::TestServer().Host, test::TestServer().Port);
    db.SetParameters(ThroughProxy(proxy));
    SmtpSink sink;
    MailServer(sink.Port());
    Queue("ana@example.test");
    cycle::WorkCycle cycle = Cycle(sender);
    ASSERT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);

    proxy.Down();
    Queue("bruno@example.test");
    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::NotConnected);
    EXPECT_FALSE(cycle.LastConnectError().empty());
    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::NotConnected);
    EXPECT_EQ(QueuedCount(), 1);

    proxy.Up();
    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
    EXPECT_EQ(cycle.LastConnectError(), "");
    EXPECT_EQ(sink.RecipientCounts(), (std::map<std::string, int>{{"ana@example.test", 1}, {"bruno@example.test", 1}}));
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(Warnings().empty());
    EXPECT_TRUE(Errors().empty());
}

TEST_F(FaultTest, BinaryWaitsOutAStoppedDatabaseAndDeliversOnceItIsBack) {
    test::TcpProxy proxy(test::TestServer().Host, test::TestServer().Port);
    SmtpSink sink;
    MailServer(sink.Port());
    Queue("ana@example.test");
    Queue("bruno@example.test");
    ServiceInstall install(dir, ThroughProxy(proxy));
    proxy.Down();

    ProcessResult once = install.RunOnce();
    EXPECT_EQ(once.Status, 2);
    EXPECT_TRUE(once.Err.starts_with("tesselcomsvc: the database could not be reached")) << once.Err;
    EXPECT_EQ(Occurrences(once.Err, "\n"), 1u) << once.Err;

    NotifyListener notify(NotifyPath());
    RunningService service(install, dir, 2, {"NOTIFY_SOCKET=" + NotifyPath()});
    ASSERT_TRUE(notify.WaitFor("running", 0, kWaitLimit));
    // A cycle comes every 30 ticks of 2 ms: let several of them find the database gone.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(sink.Count(), 0u);
    proxy.Up();
    EXPECT_TRUE(sink.WaitForCount(2, kWaitLimit));
    ASSERT_TRUE(WaitUntil([&] { return QueuedCount() == 0; }));
    service.Signal(SIGTERM);
    ProcessResult run = service.Wait();

    EXPECT_EQ(run.Status, 0);
    EXPECT_FALSE(Contains(run.Err, "Service failed")) << run.Err;
    EXPECT_EQ(StateName(notify.ReportsOfEndedProcess().back()), "stopped");
    EXPECT_EQ(sink.RecipientCounts(), (std::map<std::string, int>{{"ana@example.test", 1}, {"bruno@example.test", 1}}));
}

TEST_F(FaultTest, ConnectionKilledInTheMiddleOfADrainIsOpenedAgainAndEveryRowLeavesOnce) {
    const std::string victim = "r3@example.test";
    std::string helperId = sql().Scalar("SELECT CONNECTION_ID()").value();
    test::SqlSession killer(test::TestServer(), test::TestServer().AdminUser, test::TestServer().AdminPassword, "");
    std::atomic<int> killed{0};
    std::atomic<bool> armed{true};
    SmtpSink::Options options;
    // While message 3 is in the server's hands, an operator kills the service's session.
    options.OnMessage = [&](const test::SinkMessage& message) {
        if (!armed || message.Recipients.at(0) != victim) return;
        armed = false;
        try {
            for (const auto& row : killer.Query("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" +
                                                tdb.Name() + "' AND ID <> " + helperId)) {
                killer.Exec("KILL CONNECTION " + row.at(0).value());
                ++killed;
            }
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
    };
    SmtpSink sink(options);
    MailServer(sink.Port());
    StoreObject("u3", "r3.txt", {"three"});
    for (int i = 1; i <= 6; ++i) {
        Queue("r" + std::to_string(i) + "@example.test", "Row " + std::to_string(i), "Body", i == 3 ? "u3" : "");
    }
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = install.RunOnce();

    // The session is checked before the row's progress is written: a killed one is opened again
    // and the lease confirmed again, so the message in the server's hands is recorded, not resent.
    // (The lease's own session is killed too: its next renewal opens it again.)
    EXPECT_EQ(killed, 2);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "The database session was lost and is re-established")) << run.Err;
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_EQ(sink.RecipientCounts(),
              (std::map<std::string, int>{{"r1@example.test", 1}, {"r2@example.test", 1}, {victim, 1},
                                          {"r4@example.test", 1}, {"r5@example.test", 1},
                                          {"r6@example.test", 1}}));
    EXPECT_TRUE(FilesUnder(install.AttachmentDirectory()).empty());
}

// The rows tried while the server was down wait out their back-off in the running process; a
// restart tries them at once. No recipient is lost or served twice.
TEST_F(FaultTest, MailServerDownForTheFirstCyclesThenUpGetsEveryMessageOnce) {
    int downPort = UnusedLoopbackPort();
    MailServer(downPort);
    StoreObject("u1", "a.txt", {"attached"});
    for (int i = 1; i <= 5; ++i) {
        Queue("r" + std::to_string(i) + "@example.test;c" + std::to_string(i) + "@example.test", "Row", "Body",
              i % 2 ? "u1" : "");
    }
    ServiceInstall install(dir, tdb.Parameters());
    NotifyListener notify(NotifyPath());
    RunningService service(install, dir, 2, {"NOTIFY_SOCKET=" + NotifyPath()});
    const std::string deferral = "Mail server 127.0.0.1:" + std::to_string(downPort) + " cannot be used";
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(service.Err(), deferral) >= 3; })) << service.Err();
    EXPECT_EQ(QueuedCount(), 5);

    SmtpSink sink;
    Set("email.porta", std::to_string(sink.Port()));
    service.Signal(SIGTERM);
    ProcessResult run = service.Wait();
    EXPECT_EQ(run.Status, 0);
    EXPECT_FALSE(Contains(run.Err, "Service failed")) << run.Err;

    ProcessResult restarted = install.RunOnce();

    EXPECT_EQ(restarted.Status, 0) << restarted.Err;
    EXPECT_EQ(QueuedCount(), 0);
    auto counts = sink.RecipientCounts();
    EXPECT_EQ(counts.size(), 10u);
    for (const auto& [recipient, count] : counts) EXPECT_EQ(count, 1) << recipient;
    EXPECT_TRUE(FilesUnder(install.AttachmentDirectory()).empty());
}

// A connection that breaks while the message text is written: the server has not taken it, so it
// stays queued (the drain defers) and goes once the server takes it; the others go meanwhile.
TEST_F(FaultTest, ServerClosingInTheMiddleOfDataKeepsThatMessageAndTheOthersGo) {
    std::atomic<bool> breakOff{true};
    SmtpSink::Options options;
    options.CloseInData = [&](const std::string& recipient) { return breakOff && recipient == "bruno@example.test"; };
    SmtpSink sink(options);
    MailServer(sink.Port());
    // Far larger than what the loopback socket buffers hold, so the client is still writing the
    // text when the server hangs up: the final "." never leaves and the message is not taken for
    // one the server may have accepted.
    StoreObject("big", "big.bin", std::vector<std::string>(16, std::string(1024 * 1024, 'x')));
    Queue("ana@example.test");
    int big = Queue("bruno@example.test", "Big", "Body", "big");
    Queue("carla@example.test");
    cycle::WorkCycle cycle = Cycle(sender);

    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);

    EXPECT_EQ(sink.RecipientCounts(), (std::map<std::string, int>{{"ana@example.test", 1}, {"carla@example.test", 1}}));
    EXPECT_EQ(QueuedIds(), std::to_string(big));
    auto warnings = Warnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(Contains(warnings[0], "cannot be used; queued mail " + std::to_string(big) +
                                          " to \"bruno@example.test\"")) << warnings[0];
    EXPECT_TRUE(FilesUnder(AttachmentRoot()).empty());

    breakOff = false;
    Later(cycle::kFirstBackOff);
    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
    EXPECT_EQ(sink.RecipientCounts(), OnceEach({"ana@example.test", "bruno@example.test", "carla@example.test"}));
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(FilesUnder(AttachmentRoot()).empty());
    EXPECT_TRUE(Errors().empty());
}

TEST_F(FaultTest, ServerThatStopsAnsweringBeforeTheTransactionDefersAndTheNextCycleSendsEachOnce) {
    SmtpSink::Options options;
    options.Stall = [](int connection) { return connection == 1; };
    SmtpSink sink(options);
    MailServer(sink.Port());
    Queue("ana@example.test");
    int second = Queue("bruno@example.test");
    int third = Queue("carla@example.test");
    mail::SmtpMailSender impatient(ShortTimeouts());
    cycle::WorkCycle cycle = Cycle(impatient);

    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);

    EXPECT_EQ(QueuedIds(), std::to_string(second) + "," + std::to_string(third));
    auto warnings = Warnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(Contains(warnings[0], "127.0.0.1:" + std::to_string(sink.Port()))) << warnings[0];

    Later(cycle::kFirstBackOff);
    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
    EXPECT_EQ(sink.RecipientCounts(), OnceEach({"ana@example.test", "bruno@example.test", "carla@example.test"}));
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_EQ(Warnings().size(), 1u);
}

}  // namespace
}  // namespace tessel::e2e
