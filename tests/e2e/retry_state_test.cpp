// The retry state kept in the state directory: every --once run goes on where the last one left
// off, and a file that cannot be trusted is set aside without stopping the run.
#include <atomic>
#include <chrono>
#include <filesystem>

#include "e2e_fixture.h"
#include "service_process.h"
#include "support/smtp_sink.h"

namespace tessel::e2e {
namespace {

class RetryStateTest : public EndToEndTest {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.File("state"));
    }
    ProcessResult Once(const ServiceInstall& install) {
        return install.RunOnce({}, {"--state-dir=" + dir.File("state")});
    }
    std::string StateFile() { return dir.File("state/retry-state"); }
    // WallMillis - a wall-clock time as the file keeps it.
    static std::string WallMillis(std::chrono::system_clock::time_point at) {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count());
    }
};

// A recipient that always draws a 4xx: the second --once run keeps its back-off (the row behind
// goes out, the refused one is not tried again), and a file whose first refusal lies beyond
// email.retry.hours gives it up.
TEST_F(RetryStateTest, OnceRunsKeepTheBackOffAndTheGiveUpClock) {
    std::atomic<int> greyTries{0};
    test::SmtpSink::Options options;
    options.Answer = [&](const std::string& command) -> std::string {
        if (command.starts_with("RCPT") && Contains(command, "grey@")) {
            ++greyTries;
            return "451 4.7.1 Try again later";
        }
        return "";
    };
    test::SmtpSink sink(options);
    MailServer(sink.Port());
    int grey = Queue("grey@example.test");
    ServiceInstall install(dir, tdb.Parameters());

    EXPECT_EQ(Once(install).Status, 0);
    EXPECT_EQ(greyTries, 1);
    ASSERT_TRUE(std::filesystem::exists(StateFile()));
    Queue("ok@example.test");
    ProcessResult second = Once(install);
    EXPECT_EQ(second.Status, 0) << second.Err;
    EXPECT_EQ(greyTries, 1) << "a second run tried the row in back-off";
    EXPECT_EQ(sink.RecipientCounts(), OnceEach({"ok@example.test"}));
    EXPECT_EQ(QueuedIds(), std::to_string(grey));

    // The first refusal 121 hours ago, the back-off over: the next run tries once more, then gives up.
    auto now = std::chrono::system_clock::now();
    dir.Write("state/retry-state", "tesselcomsvc retry state 1\n" + std::to_string(grey) + "\t3\t" +
                                       WallMillis(now - std::chrono::minutes(1)) + "\t40\t" +
                                       WallMillis(now - std::chrono::hours(121)) +
                                       "\t451 4.7.1 first\t451 4.7.1 Try again later\n");
    ProcessResult third = Once(install);
    EXPECT_EQ(third.Status, 0) << third.Err;
    EXPECT_EQ(greyTries, 2);
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(Contains(third.Err, "Given up on queued mail " + std::to_string(grey) +
                                        " to \"grey@example.test\": still refused 121 h"))
        << third.Err;
}

// A damaged or foreign file: one warning, renamed aside, the run goes on and starts afresh.
TEST_F(RetryStateTest, AFileThatCannotBeTrustedIsSetAsideAndTheRunGoesOn) {
    test::SmtpSink sink;
    MailServer(sink.Port());
    ServiceInstall install(dir, tdb.Parameters());
    struct Case {
        const char* what;
        std::string contents;
        const char* reason;
    } cases[] = {
        {"foreign", "[DBCONFIG]\nServer=x\n", "not a retry state file of this service"},
        {"cut short", "tesselcomsvc retry state 1\n7\t1\t-\t10\t-\t\t", "cut short"},
        {"bad field", "tesselcomsvc retry state 1\n7\t1\t-\t9999\t-\t\t\n", "line 2 is damaged"},
        {"negative id", "tesselcomsvc retry state 1\n-7\t1\t-\t10\t-\t\t\n", "line 2 is damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(StateFile() + ".damaged");
        dir.Write("state/retry-state", c.contents);
        std::string recipient = std::string("r") + std::to_string(sink.Count()) + "@example.test";
        Queue(recipient);
        ProcessResult run = Once(install);
        EXPECT_EQ(run.Status, 0) << run.Err;
        EXPECT_TRUE(Contains(run.Err, "The retry state file " + StateFile() + " cannot be used (" +
                                          c.reason + "): it was renamed " + StateFile() + ".damaged"))
            << run.Err;
        EXPECT_EQ(QueuedCount(), 0);
        EXPECT_TRUE(std::filesystem::exists(StateFile() + ".damaged"));
    }
    // A link is not followed: it is set aside like a damaged file.
    std::filesystem::remove(StateFile());
    std::filesystem::create_symlink("/etc/passwd", StateFile());
    ProcessResult run = Once(install);
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "cannot be used (")) << run.Err;
    EXPECT_FALSE(std::filesystem::is_symlink(StateFile()));
}

}  // namespace
}  // namespace tessel::e2e
