// --queue lists the queue with this host's retry state and changes nothing; --flush clears every
// back-off, through a running instance (which then cycles at once) or in the file when none runs.
#include <filesystem>

#include "cycle/retry_state_file.h"
#include "e2e_fixture.h"
#include "service_process.h"
#include "support/smtp_sink.h"

namespace tessel::e2e {
namespace {

using namespace std::chrono;

class QueueFlushTest : public EndToEndTest {
protected:
    void SetUp() override { std::filesystem::create_directories(dir.File("state")); }
    std::string StateDirOption() { return "--state-dir=" + dir.File("state"); }
    std::string StateFile() { return dir.File("state/retry-state"); }
    // WriteState - the retry state file as the service writes it, for entries timed from now.
    void WriteState(const std::vector<cycle::RetryEntry>& entries, cycle::RetryTime steadyNow) {
        dir.Write("state/retry-state", cycle::RetryStateText(entries, {system_clock::now(), steadyNow}));
    }
    // UtcMinute - a wall-clock time as --queue prints it under TZ=UTC.
    static std::string UtcMinute(system_clock::time_point at) {
        std::time_t seconds = system_clock::to_time_t(at);
        std::tm utc{};
        ::gmtime_r(&seconds, &utc);
        char text[32] = {};
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &utc);
        return text;
    }
    // LineOf - the listing's line for row id.
    static std::string LineOf(const std::string& out, int id) {
        std::string start = "\n" + std::to_string(id) + " ";
        std::size_t at = out.find(start);
        return at == std::string::npos ? "" : out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    }
};

// Rows never tried, in back-off, with the back-off over, and with a give-up time: each line shows
// what the file says; the database and the file stay as they were.
TEST_F(QueueFlushTest, QueueListsEveryRowWithItsRetryStateAndChangesNothing) {
    MailServer(UnusedLoopbackPort());
    Set("email.retry.hours", "48");
    int fresh = Queue("a@example.test;b@example.test", "Never tried", "Body", "u1;u2");
    int waiting = Queue("grey@example.test", "In back-off");
    int due = Queue("due@example.test", "Back-off over");
    auto steadyNow = steady_clock::now();
    auto wallNow = system_clock::now();
    auto wall = [&](steady_clock::time_point at) { return wallNow + duration_cast<system_clock::duration>(at - steadyNow); };
    cycle::RetryEntry inBackOff{waiting, 3, steadyNow + minutes(40), minutes(40),
                                cycle::FirstRefusal{steadyNow - hours(2), "451 4.7.1 first"}, "451 4.7.1 Greylisted"};
    cycle::RetryEntry over{due, 1, steadyNow - minutes(1), minutes(10), std::nullopt, "421 4.3.2 Busy"};
    WriteState({inBackOff, over}, steadyNow);
    const std::string before = test::ReadFile(StateFile());
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = install.Run({"--queue", StateDirOption()}, {"TZ=UTC"});

    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    std::string freshLine = LineOf(run.Out, fresh);
    EXPECT_TRUE(Contains(freshLine, "Tessel <tessel@example.test>") && Contains(freshLine, " 2 ") &&
                Contains(freshLine, "Never tried") && Contains(freshLine, " 0      -  ") &&
                Contains(freshLine, " now ") && freshLine.ends_with(" -"))
        << freshLine;
    std::string waitingLine = LineOf(run.Out, waiting);
    EXPECT_TRUE(Contains(waitingLine, "451 4.7.1 Greylisted")) << waitingLine;
    EXPECT_TRUE(Contains(waitingLine, UtcMinute(wall(*inBackOff.NextAttempt)))) << waitingLine;
    EXPECT_TRUE(waitingLine.ends_with(UtcMinute(wall(inBackOff.Refused->At) + hours(48)))) << waitingLine;
    std::string dueLine = LineOf(run.Out, due);
    EXPECT_TRUE(Contains(dueLine, "421 4.3.2 Busy") && Contains(dueLine, " now ") && dueLine.ends_with(" -"))
        << dueLine;
    EXPECT_TRUE(Contains(run.Out, "3 queued rows: 1 in back-off, 1 with a temporary refusal")) << run.Out;
    EXPECT_EQ(test::ReadFile(StateFile()), before);
    EXPECT_EQ(QueuedCount(), 3);
    EXPECT_EQ(sql().Scalar("SELECT Destinatario FROM mail_spooler WHERE ID = " + std::to_string(fresh)).value_or(""),
              "a@example.test;b@example.test");
}

// A damaged file is reported and left where it is: --queue reads only.
TEST_F(QueueFlushTest, QueueLeavesADamagedFileInPlace) {
    MailServer(UnusedLoopbackPort());
    Queue("a@example.test");
    dir.Write("state/retry-state", "not a state file\n");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = install.Run({"--queue", StateDirOption()});

    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    EXPECT_TRUE(Contains(run.Out, "cannot be used (not a retry state file of this service)")) << run.Out;
    EXPECT_EQ(test::ReadFile(StateFile()), "not a state file\n");
    EXPECT_FALSE(std::filesystem::exists(StateFile() + ".damaged"));
}

// A database that is reached but cannot be read is the database's failure (status 2), not the
// configuration file's (1).
TEST_F(QueueFlushTest, QueueOnADatabaseWithoutTheQueueTableExitsWithTheDatabaseStatus) {
    sql().Exec("DROP TABLE mail_spooler");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = install.Run({"--queue", StateDirOption()});

    EXPECT_EQ(run.Status, 2) << run.Out << run.Err;
    EXPECT_TRUE(run.Err.starts_with("tesselcomsvc: the database could not be read: ")) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "mail_spooler")) << run.Err;
}

// A running service (its next cycle 30 s away) gets the flush and sends the row in back-off at once;
// without the flush that row would wait 5 minutes.
TEST_F(QueueFlushTest, FlushMakesARunningServiceTryTheRowsInBackOffAtOnce) {
    std::atomic<int> greyTries{0};
    test::SmtpSink::Options options;
    options.Answer = [&](const std::string& command) -> std::string {
        if (command.starts_with("RCPT") && Contains(command, "grey@") && greyTries++ == 0) {
            return "451 4.7.1 Try again later";
        }
        return "";
    };
    test::SmtpSink sink(options);
    MailServer(sink.Port());
    Queue("grey@example.test");
    ServiceInstall install(dir, tdb.Parameters());
    ASSERT_EQ(install.RunOnce({}, {StateDirOption()}).Status, 0);
    ASSERT_EQ(greyTries, 1);
    ASSERT_EQ(sink.Count(), 0u);

    NotifyListener notify(dir.File("notify"));
    RunningService service(install, dir, {"--tick-ms=1000", StateDirOption()}, {"NOTIFY_SOCKET=" + notify.Path()});
    ASSERT_TRUE(notify.WaitFor("running", 0, seconds(60))) << service.Err();
    auto flushed = steady_clock::now();
    ProcessResult flush = install.Run({"--flush", StateDirOption()});
    EXPECT_EQ(flush.Status, 0) << flush.Err;
    EXPECT_TRUE(Contains(flush.Out, "The running instance (process " + std::to_string(service.Pid()) +
                                        ") clears every back-off and starts a cycle now"))
        << flush.Out << flush.Err;

    // Well before the service's first own cycle, 30 ticks after its start.
    EXPECT_TRUE(sink.WaitForCount(1, seconds(20))) << service.Err();
    RecordProperty("flush_to_delivery_ms",
                   static_cast<int>(duration_cast<milliseconds>(steady_clock::now() - flushed).count()));
    EXPECT_EQ(sink.RecipientCounts(), OnceEach({"grey@example.test"}));
    EXPECT_TRUE(Contains(service.Err(), "Every back-off was cleared on request (--flush)")) << service.Err();
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait().Status, 0);
    EXPECT_EQ(QueuedCount(), 0);
}

// With no instance running, --flush rewrites the file itself: the next --once run tries the row.
TEST_F(QueueFlushTest, FlushWithoutAnInstanceRewritesTheFile) {
    test::SmtpSink sink;
    MailServer(sink.Port());
    int grey = Queue("grey@example.test");
    auto steadyNow = steady_clock::now();
    WriteState({{grey, 2, steadyNow + minutes(20), minutes(20), std::nullopt, "451 4.7.1 Later"}}, steadyNow);
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult flush = install.Run({"--flush", StateDirOption()});

    EXPECT_EQ(flush.Status, 0) << flush.Err;
    EXPECT_TRUE(Contains(flush.Out, "No instance is running: the back-off of 1 rows was cleared in " + StateFile()))
        << flush.Out;
    EXPECT_EQ(install.RunOnce({}, {StateDirOption()}).Status, 0);
    EXPECT_EQ(sink.RecipientCounts(), OnceEach({"grey@example.test"}));
}

}  // namespace
}  // namespace tessel::e2e
