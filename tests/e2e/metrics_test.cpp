// The metrics file of the real service after cycles of each outcome, read back with
// prometheus_client's parser of the text format.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "e2e_fixture.h"
#include "metrics_reader.h"
#include "service_process.h"
#include "support/smtp_sink.h"
#include "waits.h"

namespace tessel::e2e {
namespace {

const std::string kDelivered = "tesselcom_messages_total{result=\"delivered\"}";
const std::string kRefused = "tesselcom_messages_total{result=\"refused\"}";
const std::string kDeferred = "tesselcom_messages_total{result=\"deferred\"}";
const std::string kUnconfirmed = "tesselcom_messages_total{result=\"unconfirmed\"}";

class MetricsTest : public EndToEndTest {
protected:
    MetricsTest() { std::filesystem::create_directories(dir.File("textfile")); }

    // Install - the service in dir with the metrics file configured as path (a relative path is
    // taken from the directory of configs.ini, here the executable's).
    ServiceInstall Install(const config::ConnectionParameters& parameters, const std::string& path) {
        ServiceInstall install(dir, parameters);
        std::ofstream(dir.File("bin/configs.ini"), std::ios::app) << "[METRICS]\nFile=" << path << "\n";
        return install;
    }
    double Value(const std::string& sample) { return SampleValue(path, sample).value_or(-1); }

    const std::string path = dir.File("textfile/tessel.prom");
};

TEST_F(MetricsTest, EveryCycleRewritesTheFileWithEachOutcomeCountedAndItParses) {
    std::mutex lock;
    std::string lastRecipient;
    test::SmtpSink::Options options;
    // One recipient of each fate: refused for good, refused for now, and one whose end of message
    // draws a line without a code instead of a reply (delivery unconfirmed).
    options.Answer = [&](const std::string& command) -> std::string {
        std::lock_guard<std::mutex> hold(lock);
        if (command.rfind("RCPT TO:", 0) == 0) lastRecipient = command;
        if (command.rfind("RCPT TO:<refused@", 0) == 0) return "550 5.1.1 No such user";
        if (command.rfind("RCPT TO:<soon@", 0) == 0) return "450 4.2.0 Greylisted";
        if (command == "." && lastRecipient.rfind("RCPT TO:<maybe@", 0) == 0) return "??";  // ends the reply, but holds no code
        return "";
    };
    test::SmtpSink sink(options);
    MailServer(UnusedLoopbackPort());
    Queue("first@example.test");
    ServiceInstall install = Install(tdb.Parameters(), path);
    double started = static_cast<double>(std::time(nullptr));
    RunningService run(install, dir, 2, {});

    // No server: the drain defers at every cycle; the row stays queued, in no back-off (the server
    // failed, not the row).
    EXPECT_TRUE(WaitUntil([&] { return Value(kDeferred) >= 1 && Value("tesselcom_queue_pending_rows") == 0; },
                          kWaitLimit))
        << test::ReadFile(path);
    EXPECT_EQ(Value("tesselcom_queue_rows"), 1);
    Set("email.porta", std::to_string(sink.Port()));
    Queue("refused@example.test;second@example.test;soon@example.test;maybe@example.test");
    EXPECT_TRUE(WaitUntil([&] { return Value(kDelivered) == 2 && Value(kUnconfirmed) == 1; }, kWaitLimit))
        << test::ReadFile(path);
    // The hold switch: no lock, nothing sent, the queue still counted.
    Set("email.outlook", "1");
    Queue("held@example.test");
    EXPECT_TRUE(WaitUntil([&] { return Value("tesselcom_active") == 0 && Value("tesselcom_queue_rows") == 2; },
                          kWaitLimit))
        << test::ReadFile(path);

    ParsedMetrics m = ParseMetrics(path);
    ASSERT_EQ(m.Error, "");
    const std::map<std::string, std::string> types = {
        {"tesselcom_up", "gauge"},
        {"tesselcom_active", "gauge"},
        {"tesselcom_database_reachable", "gauge"},
        {"tesselcom_last_cycle_end_timestamp_seconds", "gauge"},
        {"tesselcom_last_cycle_duration_seconds", "gauge"},
        {"tesselcom_queue_rows", "gauge"},
        {"tesselcom_queue_pending_rows", "gauge"},
        {"tesselcom_messages", "counter"},  // the parser names a counter's family without _total
        {"tesselcom_alarms_dispatched", "counter"},
        {"tesselcom_lease_epoch", "gauge"},
    };
    EXPECT_EQ(m.Types, types);
    for (const auto& [family, help] : m.Help) EXPECT_GT(help.size(), 10u) << family;
    // Seven gauges, six results, one alarm counter, the lease's epoch (checked before any lookup
    // could add a name).
    EXPECT_EQ(m.Samples.size(), 15u);
    const std::map<std::string, double> expected = {
        {"tesselcom_up{}", 1},
        {"tesselcom_active{}", 0},
        {"tesselcom_database_reachable{}", 1},
        {"tesselcom_queue_rows{}", 2},          // the greylisted row, the held one
        {"tesselcom_queue_pending_rows{}", 1},  // the greylisted one waits in back-off
        {kDelivered, 2},
        {kRefused, 1},
        {"tesselcom_messages_total{result=\"pending\"}", 1},
        {kUnconfirmed, 1},
        {"tesselcom_messages_total{result=\"given_up\"}", 0},
        {"tesselcom_alarms_dispatched_total{}", 0},
    };
    for (const auto& [sample, value] : expected) EXPECT_EQ(m.Samples[sample], value) << sample;
    EXPECT_GE(m.Samples[kDeferred], 1);  // once per cycle while no server answered
    EXPECT_GE(m.Samples["tesselcom_last_cycle_end_timestamp_seconds{}"], started);
    EXPECT_GE(m.Samples["tesselcom_last_cycle_duration_seconds{}"], 0);

    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait().Status, 0);
    EXPECT_EQ(ParseMetrics(path).Samples["tesselcom_up{}"], 0) << "a clean stop says so";
    EXPECT_EQ(FilesUnder(dir.File("textfile")), (std::vector<std::string>{path})) << "no temporary file left";
}

TEST_F(MetricsTest, AnUnreachableDatabaseShowsInTheFileAndARelativePathIsTheConfigFilesDirectorys) {
    auto parameters = tdb.Parameters();
    parameters.Port = UnusedLoopbackPort();
    ServiceInstall install = Install(parameters, "tessel.prom");
    EXPECT_EQ(install.RunOnce().Status, 2);
    ParsedMetrics m = ParseMetrics(dir.File("bin/tessel.prom"));
    ASSERT_EQ(m.Error, "");
    EXPECT_EQ(m.Samples["tesselcom_database_reachable{}"], 0);
    EXPECT_EQ(m.Samples["tesselcom_active{}"], 0);
    EXPECT_EQ(m.Samples["tesselcom_up{}"], 0);
}

TEST_F(MetricsTest, AFileThatCannotBeWrittenIsOneWarningAndTheMailStillGoes) {
    test::SmtpSink sink;
    MailServer(sink.Port());
    Queue("r@example.test");
    ServiceInstall install = Install(tdb.Parameters(), dir.File("missing/tessel.prom"));
    ProcessResult run = install.RunOnce();
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(sink.Count(), 1u);
    EXPECT_TRUE(Contains(run.Err, "TesselComService: Metrics not written: Cannot use the directory " +
                                      dir.File("missing/") + ": " + dir.File("missing") +
                                      ": No such file or directory\n"))
        << run.Err;
}

// A sticky directory that everyone may write (like /tmp), where another user plants a link named
// like the configured directory: the service, run as root, must not write where it leads.
TEST_F(MetricsTest, ALinkAnotherUserPlantedIsRefusedOnceAndNothingIsWrittenWhereItLeads) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a link of another user";
    const std::string shared = dir.File("shared");
    const std::string target = dir.File("elsewhere");
    std::filesystem::create_directories(shared);
    std::filesystem::create_directories(target);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(::symlink(target.c_str(), (shared + "/textfile").c_str()), 0);
    ASSERT_EQ(::lchown((shared + "/textfile").c_str(), 65534, 65534), 0);
    test::SmtpSink sink;
    MailServer(sink.Port());
    Queue("r@example.test");
    ServiceInstall install = Install(tdb.Parameters(), shared + "/textfile/tessel.prom");
    ProcessResult run = install.RunOnce();
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(sink.Count(), 1u);
    EXPECT_FALSE(std::filesystem::exists(target + "/tessel.prom"));
    EXPECT_TRUE(std::filesystem::is_empty(target));
    const std::string warning = "TesselComService: Metrics not written: Cannot use the directory " + shared;
    const auto first = run.Err.find(warning);
    EXPECT_NE(first, std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.find(warning, first + 1), std::string::npos) << "once per start:\n" << run.Err;
}

}  // namespace
}  // namespace tessel::e2e
