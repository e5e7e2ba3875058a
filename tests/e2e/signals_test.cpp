// A burst of control signals to the real binary while its cycles deliver mail: every report sequence
// stays consistent, nothing deadlocks, and stop still ends the process.
#include <signal.h>

#include <random>
#include <thread>

#include "e2e_fixture.h"
#include "service_process.h"
#include "support/smtp_sink.h"
#include "waits.h"

namespace tessel::e2e {
namespace {

using namespace std::chrono_literals;

constexpr int kQueued = 40;
constexpr int kBurst = 300;
constexpr int kUserCode = 200;
const std::map<std::string, std::string> kStateValues = {
    {"stopped", "1"},          {"start pending", "2"}, {"stop pending", "3"}, {"running", "4"},
    {"continue pending", "5"}, {"pause pending", "6"}, {"paused", "7"}};

// SequenceFault - the first report that breaks the order of states, or "" when every one fits:
// each pending state is followed by its result, a settled state repeats only when interrogated.
std::string SequenceFault(const std::vector<Report>& reports) {
    const std::vector<std::string> start = {"start pending", "start pending", "running"};
    std::string settled = "running";
    std::string previous;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        std::string state = StateName(reports[i]);
        std::string where = "report " + std::to_string(i) + " (" + state + ") after " + previous;
        auto value = kStateValues.find(state);
        if (value == kStateValues.end() || reports[i].at("X_CURRENT_STATE") != value->second) {
            return where + ": wrong state value";
        }
        if (i < start.size()) {
            if (state != start[i]) return where + ": not the start sequence";
        } else if (reports[i].at("X_CHECKPOINT") != "0") {
            return where + ": checkpoint " + reports[i].at("X_CHECKPOINT");
        } else if (previous == "pause pending") {
            if (state != "paused") return where;
            settled = state;
        } else if (previous == "continue pending") {
            if (state != "running") return where;
            settled = state;
        } else if (previous == "stop pending") {
            if (state != "stopped") return where;
        } else if (state != settled && state != "pause pending" && state != "continue pending" &&
                   state != "stop pending") {
            return where + ": the settled state was " + settled;
        }
        previous = state;
    }
    return previous == "stopped" ? "" : "the last report is " + previous;
}

TEST_F(EndToEndTest, BurstOfPauseContinueAndInterrogateKeepsEveryReportSequenceConsistent) {
    test::SmtpSink sink;
    MailServer(sink.Port());
    for (int i = 0; i < kQueued; ++i) Queue("r" + std::to_string(i) + "@example.test");
    ServiceInstall install(dir, tdb.Parameters());
    NotifyListener notify(dir.File("notify"));
    RunningService service(install, dir, 2, {"NOTIFY_SOCKET=" + notify.Path()});
    ASSERT_TRUE(notify.WaitFor("running", 0, kWaitLimit));

    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, 9);
    std::uniform_int_distribution<int> pause(0, 1500);
    int interrogations = 0;
    int queued = kQueued;
    for (int i = 0; i < kBurst; ++i) {
        // More mail keeps arriving, so the cycles between the signals have work to do.
        if (i % 10 == 0) Queue("late" + std::to_string(queued++) + "@example.test");
        int which = pick(random);
        if (which < 4) {
            service.Signal(SIGUSR1);
        } else if (which < 7) {
            service.Signal(SIGUSR2);
        } else if (which < 9) {
            service.Signal(SIGHUP);
            ++interrogations;
        } else {
            service.Queue(kUserCode);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
    }
    // Signals still pending are taken lowest number first; this continue is handled after them all.
    service.Signal(SIGUSR2);
    EXPECT_TRUE(sink.WaitForCount(static_cast<std::size_t>(queued), kWaitLimit)) << "the cycles went on after the burst";
    service.Signal(SIGTERM);
    ProcessResult run = service.Wait();

    EXPECT_EQ(run.Status, 0);
    EXPECT_FALSE(Contains(run.Err, "Service failed")) << run.Err;
    auto reports = notify.ReportsOfEndedProcess();
    EXPECT_EQ(SequenceFault(reports), "");
    std::size_t repeats = 0;
    for (std::size_t i = 3; i < reports.size(); ++i) {
        repeats += StateName(reports[i]) == StateName(reports[i - 1]);
    }
    EXPECT_LE(repeats, static_cast<std::size_t>(interrogations)) << "only an interrogation repeats a state";
    EXPECT_GT(reports.size(), 10u) << "the burst was answered";
    auto counts = sink.RecipientCounts();
    EXPECT_EQ(counts.size(), static_cast<std::size_t>(queued));
    for (const auto& [recipient, count] : counts) EXPECT_EQ(count, 1) << recipient;
    EXPECT_EQ(QueuedCount(), 0);
}

}  // namespace
}  // namespace tessel::e2e
