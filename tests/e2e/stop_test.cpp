// Stops of the real binary while it sends: prompt, clean, each message once; and the exit statuses
// of --once.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include "e2e_fixture.h"
#include "held_sink.h"
#include "metrics_reader.h"
#include "service_process.h"
#include "support/smtp_sink.h"
#include "waits.h"

namespace tessel::e2e {
namespace {

using namespace std::chrono_literals;

// SlowSink - a mail server that takes each message only after a pause.
test::SmtpSink::Options SlowSink(std::chrono::milliseconds pause) {
    test::SmtpSink::Options options;
    options.KeepData = false;
    options.OnMessage = [pause](const test::SinkMessage&) { std::this_thread::sleep_for(pause); };
    return options;
}

class StopTest : public EndToEndTest {
protected:
    // QueueMany - rows r0 ... r(n-1), one recipient each, each with the stored object "doc".
    void QueueMany(int n, const std::string& attachments = "") {
        for (int i = 0; i < n; ++i) Queue("r" + std::to_string(i) + "@example.test", "Subject", "Body", attachments);
    }
    // ObjectDirectories - the object directories left under the binary's attachment directory.
    static std::size_t ObjectDirectories(const ServiceInstall& install) {
        std::size_t n = 0;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(install.AttachmentDirectory(), ignored)) {
            n += entry.path().filename().string().rfind("obj-", 0) == 0;
        }
        return n;
    }
    // OtherSessions - the database sessions on the test database besides the test's own.
    int OtherSessions() {
        return std::stoi(sql().Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                                      "WHERE DB = DATABASE() AND ID <> CONNECTION_ID()").value());
    }
    // ExpectEachOnceAndTheRestQueued - nothing twice; what was not delivered is still queued.
    void ExpectEachOnceAndTheRestQueued(const test::SmtpSink& sink, int queued) {
        auto counts = sink.RecipientCounts();
        for (const auto& [recipient, count] : counts) EXPECT_EQ(count, 1) << recipient;
        EXPECT_EQ(static_cast<int>(counts.size()) + QueuedCount(), queued);
    }
};

TEST_F(StopTest, SigtermDuringOnceEndsTheDrainCleanlyAndLeavesTheRestQueued) {
    test::SmtpSink sink(SlowSink(50ms));
    MailServer(sink.Port());
    StoreObject("doc", "report.pdf", {std::string(300000, 'x')});
    QueueMany(60, "doc");
    ServiceInstall install(dir, tdb.Parameters());

    RunningService once(install, dir, {"--once"});
    ASSERT_TRUE(sink.WaitForCount(3, kWaitLimit));
    once.Signal(SIGTERM);
    ProcessResult run = once.Wait();

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(WithoutInformation(run.Err), "") << run.Err;
    EXPECT_GT(QueuedCount(), 20) << "the stop was honoured long before the queue was empty";
    ExpectEachOnceAndTheRestQueued(sink, 60);
    EXPECT_EQ(ObjectDirectories(install), 0u);
}

TEST_F(StopTest, StopOfTheServiceDuringALongDrainIsHonouredAtTheNextMessage) {
    test::SmtpSink sink(SlowSink(20ms));
    MailServer(sink.Port());
    QueueMany(400);
    ServiceInstall install(dir, tdb.Parameters());
    NotifyListener notify(dir.File("notify"));
    RunningService service(install, dir, 2, {"NOTIFY_SOCKET=" + notify.Path()});
    ASSERT_TRUE(sink.WaitForCount(5, kWaitLimit));

    service.Signal(SIGTERM);
    ProcessResult run = service.Wait();

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_GT(QueuedCount(), 300);
    ExpectEachOnceAndTheRestQueued(sink, 400);
    auto reports = notify.ReportsOfEndedProcess();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(StateName(reports[reports.size() - 2]), "stop pending");
    EXPECT_EQ(StateName(reports.back()), "stopped");
}

TEST_F(StopTest, StopWhileTheServerStallsBeforeTheFinalDotEndsWithoutWaitingOutTheBound) {
    // The server greets and then says nothing: the service's own bound is 300 s, far beyond the
    // test's limit for the process.
    test::SmtpSink::Options options;
    options.Stall = [](int) { return true; };
    test::SmtpSink sink(options);
    MailServer(sink.Port());
    Queue("a@example.test");
    ServiceInstall install(dir, tdb.Parameters());
    RunningService service(install, dir, 2, {});
    for (int i = 0; i < 6000 && sink.Connections() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(sink.Connections(), 1);

    service.Signal(SIGTERM);
    ProcessResult run = service.Wait(30s);

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(QueuedCount(), 1);
    EXPECT_FALSE(Contains(run.Err, "cannot be used")) << "a stop is not a deferral: " << run.Err;
}

TEST_F(StopTest, OnceExitsThreeWhenTheMailServerCannotBeUsedAndZeroWhenItCan) {
    Queue("a@example.test");
    ServiceInstall install(dir, tdb.Parameters());
    MailServer(UnusedLoopbackPort());
    ProcessResult refused = install.RunOnce();
    EXPECT_EQ(refused.Status, 3) << refused.Err;
    EXPECT_EQ(QueuedCount(), 1);

    test::SmtpSink sink;
    MailServer(sink.Port());
    ProcessResult sent = install.RunOnce();
    EXPECT_EQ(sent.Status, 0) << sent.Err;
    EXPECT_EQ(sink.Count(), 1u);
}

TEST_F(StopTest, WhatAKilledProcessLeftIsRemovedByTheNextCycle) {
    // The second message is held before its reply, so the process dies while its row's object
    // directory is in use.
    HeldSink sink(2);
    MailServer(sink.Port());
    StoreObject("doc", "report.pdf", {std::string(1000, 'x')});
    QueueMany(20, "doc");
    // The killed run keeps the lease until it runs out.
    Set("service.lease.seconds", "1");
    ServiceInstall install(dir, tdb.Parameters());
    {
        RunningService once(install, dir, {"--once"});
        bool wasHeld = sink.WaitInHand();
        once.Signal(SIGKILL);
        once.Wait();
        sink.Release();
        ASSERT_TRUE(wasHeld);
    }
    ASSERT_EQ(ObjectDirectories(install), 1u) << "the killed run left its object directory";
    ASSERT_TRUE(WaitUntil([&] { return LeaseRunOut(); }, kWaitLimit));
    // The killed run's row lock goes with its database session; under load the server may take a
    // moment to notice the connection has gone.
    for (int i = 0; i < 500 && OtherSessions() > 0; ++i) std::this_thread::sleep_for(20ms);

    test::SmtpSink fast;
    MailServer(fast.Port());
    ProcessResult run = install.RunOnce();

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ObjectDirectories(install), 0u);
    EXPECT_EQ(QueuedCount(), 0);
}

TEST_F(StopTest, RepeatedStopsAndStartsDuringALongDrainSendEveryMessageOnce) {
    constexpr int kRows = 2000;
    test::SmtpSink sink(SlowSink(1ms));
    MailServer(sink.Port());
    for (int i = 0; i < kRows; i += 100) {
        std::string values;
        for (int j = i; j < i + 100; ++j) {
            values += std::string(values.empty() ? "" : ", ") + "('Tessel <tessel@example.test>', 'r" +
                      std::to_string(j) + "@example.test', 'Subject', 'Body', NULL)";
        }
        sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto, Anexos) VALUES " + values);
    }
    ServiceInstall install(dir, tdb.Parameters());
    int stops = 0;
    for (int round = 0; round < 100 && QueuedCount() > 0; ++round) {
        std::size_t before = sink.Count();
        RunningService service(install, dir, 2, {});
        // A round ends after 250 more messages, or when the last of them arrived.
        EXPECT_TRUE(sink.WaitForCount(std::min<std::size_t>(before + 250, kRows), 30s));
        service.Signal(SIGTERM);
        ProcessResult run = service.Wait();
        ASSERT_EQ(run.Status, 0) << run.Err;
        ++stops;
    }
    EXPECT_GT(stops, 3);
    EXPECT_EQ(QueuedCount(), 0);
    auto counts = sink.RecipientCounts();
    EXPECT_EQ(counts.size(), static_cast<std::size_t>(kRows));
    for (const auto& [recipient, count] : counts) EXPECT_EQ(count, 1) << recipient;
}

}  // namespace
}  // namespace tessel::e2e
