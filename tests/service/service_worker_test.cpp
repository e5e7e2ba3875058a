// The poll loop's timing in ticks, control handling and the failure records, driven by a sleeper
// that counts ticks instead of waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "config/startup_config.h"
#include "service/tessel_com_service.h"
#include "support/temp_dir.h"
#include "util/error.h"
#include "util/event_log.h"

namespace tessel::service {
namespace {

using S = ServiceState;

struct Report {
    S State;
    std::uint32_t Checkpoint;
    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Report& report) {
    return out << StateName(report.State) << " (" << report.Checkpoint << ")";
}

// Records every report; lets another thread wait for one.
class RecordingChannel : public StatusChannel {
public:
    void Send(const StatusReport& report) override {
        std::lock_guard lock(mutex_);
        reports_.push_back({report.State, report.Checkpoint});
        EXPECT_EQ(report.ControlsAccepted, report.State == S::StartPending ? 0u : 7u);
        changed_.notify_all();
    }
    std::vector<Report> Reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }
    // WaitForCount - blocks until count reports have been sent.
    void WaitForCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return reports_.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

// A tick that takes no time; on chosen ticks it queues control requests.
class CountingSleeper : public Sleeper {
public:
    // SleepOrWork - as a watching sleeper: work turns up on the chosen ticks.
    bool SleepOrWork() override {
        Sleep();
        return workOn.count(sleeps) != 0;
    }
    void Sleep() override {
        ++sleeps;
        auto actions = onSleep.find(sleeps);
        if (actions != onSleep.end()) {
            for (ControlCode code : actions->second) service->ControlHandler(code);
        }
    }
    std::atomic<int> sleeps{0};
    std::map<int, std::vector<ControlCode>> onSleep;
    std::set<int> workOn;
    TesselComService* service = nullptr;
};

class ServiceHostTest : public ::testing::Test {
protected:
    ServiceHostTest()
        : sink_([this](Severity, const std::string& source, const std::string& text) {
              std::lock_guard lock(recordsMutex_);
              records_.push_back(source + ": " + text);
          }) {}

    // Builds the service; RunCycle notes the tick count and runs onCycle (if any).
    void Build(std::function<void(int cycle)> onCycle = {}) {
        ServiceHandlers handlers;
        handlers.ServiceStart = [this] { return start_ ? start_() : true; };
        handlers.RunCycle = [this, onCycle] {
            cycleSleeps_.push_back(sleeper_.sleeps);
            if (onCycle) onCycle(static_cast<int>(cycleSleeps_.size()));
            return CycleResult::Completed;
        };
        handlers.ServiceStop = stop_;
        handlers.InterruptWork = [this] { ++interrupts_; };
        handlers.ResumeWork = [this] { ++resumes_; };
        handlers.PauseWork = [this] { ++pauses_; };
        handlers.ContinueWork = [this] { ++continues_; };
        service_ = std::make_unique<TesselComService>(std::move(handlers), channel_);
        sleeper_.service = service_.get();
    }

    std::vector<Report> ReportsAfterRunning() {
        auto all = channel_.Reports();
        const std::vector<Report> normalStart{
            {S::StartPending, 1}, {S::StartPending, 2}, {S::Running, 0}};
        EXPECT_GE(all.size(), 3u);
        EXPECT_EQ(std::vector<Report>(all.begin(), all.begin() + 3), normalStart);
        return std::vector<Report>(all.begin() + 3, all.end());
    }

    std::vector<std::string> Records() {
        std::lock_guard lock(recordsMutex_);
        return records_;
    }

    RecordingChannel channel_;
    CountingSleeper sleeper_;
    std::function<bool()> start_;
    std::function<bool()> stop_;
    std::vector<int> cycleSleeps_;
    std::unique_ptr<TesselComService> service_;
    std::atomic<int> interrupts_{0};  // InterruptWork calls: the work in progress told to end
    std::atomic<int> resumes_{0};     // ResumeWork calls: a stop that did not end the service
    std::atomic<int> pauses_{0};      // PauseWork calls: the work in progress told to pause
    std::atomic<int> continues_{0};   // ContinueWork calls: the pause is over

private:
    ScopedEventSink sink_;
    std::mutex recordsMutex_;
    std::vector<std::string> records_;
};

TEST_F(ServiceHostTest, CyclesRunOnEveryThirtiethTickAndStopWaitsForCycleAndOneSleep) {
    // The stop arrives during the second cycle.
    Build([this](int cycle) {
        if (cycle == 2) service_->ControlHandler(kControlStop);
    });
    service_->ServiceEntry(sleeper_);

    EXPECT_EQ(cycleSleeps_, (std::vector<int>{29, 59}));
    EXPECT_EQ(sleeper_.sleeps.load(), 60);
    EXPECT_EQ(ReportsAfterRunning(),
              (std::vector<Report>{{S::StopPending, 0}, {S::Stopped, 0}}));
    EXPECT_EQ(service_->ExitStatus(), 0);
    EXPECT_TRUE(Records().empty());
}

// A flush is passed on at once (RequestFlush) and the cycle runs right after the tick it came in,
// not 30 ticks after the last one; the rhythm then counts from that cycle.
TEST_F(ServiceHostTest, FlushRunsACycleAfterTheCurrentTick) {
    std::atomic<int> flushes{0};
    sleeper_.onSleep[5] = {kControlFlush};
    Build([this](int cycle) {
        if (cycle == 2) service_->ControlHandler(kControlStop);
    });
    ServiceHandlers handlers = service_->Handlers();
    handlers.RequestFlush = [&flushes] { ++flushes; };
    service_ = std::make_unique<TesselComService>(std::move(handlers), channel_);
    sleeper_.service = service_.get();
    service_->ServiceEntry(sleeper_);

    EXPECT_EQ(flushes.load(), 1);
    EXPECT_EQ(cycleSleeps_, (std::vector<int>{5, 35}));
    EXPECT_EQ(ReportsAfterRunning(), (std::vector<Report>{{S::StopPending, 0}, {S::Stopped, 0}}));
}

// Requests queued during one sleep, handled together at its end; a stop follows on the next
// sleep unless the service has already ended.
struct BatchCase {
    const char* Name;
    std::vector<ControlCode> Batch;
    std::vector<Report> Expected;
    int Sleeps;
};

// Test names carry the case's name; printing the whole struct would only show its bytes.
void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.Name; }

class ControlBatchTest : public ServiceHostTest, public ::testing::WithParamInterface<BatchCase> {};

TEST_P(ControlBatchTest, ReportsAndEnd) {
    const BatchCase& c = GetParam();
    sleeper_.onSleep[5] = c.Batch;
    sleeper_.onSleep[6] = {kControlStop};
    Build();
    service_->ServiceEntry(sleeper_);

    EXPECT_EQ(ReportsAfterRunning(), c.Expected);
    EXPECT_EQ(sleeper_.sleeps.load(), c.Sleeps);
    EXPECT_TRUE(cycleSleeps_.empty());
    EXPECT_EQ(service_->ExitStatus(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ControlBatchTest,
    ::testing::Values(
        BatchCase{"StopDuringSleepEndsWithoutFurtherTick", {kControlStop},
                  {{S::StopPending, 0}, {S::Stopped, 0}}, 5},
        BatchCase{"ShutdownEndsLikeStop", {kControlShutdown},
                  {{S::StopPending, 0}, {S::Stopped, 0}}, 5},
        BatchCase{"UserDefinedCodesAreIgnoredWithoutReport", {128, 200, 255, 6},
                  {{S::StopPending, 0}, {S::Stopped, 0}}, 6},
        BatchCase{"InterrogateReportsTheCurrentStateAgain", {kControlInterrogate},
                  {{S::Running, 0}, {S::StopPending, 0}, {S::Stopped, 0}}, 6},
        // The continue is queued before the worker begins its paused wait: no wake-up is lost.
        BatchCase{"ContinueQueuedBeforeThePausedWaitEndsIt", {kControlPause, kControlContinue},
                  {{S::PausePending, 0}, {S::Paused, 0}, {S::ContinuePending, 0}, {S::Running, 0},
                   {S::StopPending, 0}, {S::Stopped, 0}}, 6},
        BatchCase{"StopEndsThePausedWait", {kControlPause, kControlStop},
                  {{S::PausePending, 0}, {S::Paused, 0}, {S::StopPending, 0}, {S::Stopped, 0}}, 5},
        // A pause behind a stop must not hold an ending service in a wait.
        BatchCase{"PauseAfterStopDoesNotHoldTheService", {kControlStop, kControlPause},
                  {{S::StopPending, 0}, {S::PausePending, 0}, {S::Paused, 0}, {S::Stopped, 0}}, 5},
        BatchCase{"PendingStatesRepeatedRaiseTheCheckpoint", {kControlStop, kControlShutdown},
                  {{S::StopPending, 0}, {S::StopPending, 1}, {S::Stopped, 0}}, 5}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ServiceHostTest, PauseHoldsTheTickCountAndInterrogateKeepsItPaused) {
    sleeper_.onSleep[10] = {kControlPause};
    Build([this](int) { service_->ControlHandler(kControlStop); });
    std::thread entry([this] { service_->ServiceEntry(sleeper_); });

    channel_.WaitForCount(5);  // ... pause pending, paused
    service_->ControlHandler(kControlInterrogate);
    channel_.WaitForCount(6);
    EXPECT_EQ(channel_.Reports().back(), (Report{S::Paused, 0}));
    EXPECT_EQ(sleeper_.sleeps.load(), 10);
    EXPECT_TRUE(cycleSleeps_.empty());

    service_->ControlHandler(kControlContinue);
    entry.join();
    EXPECT_EQ(pauses_.load(), 1);
    EXPECT_EQ(continues_.load(), 1);
    // Paused on tick 10: the cycle comes on the 20th tick after the continue, 19 sleeps later.
    EXPECT_EQ(cycleSleeps_, (std::vector<int>{10 + 19}));
    EXPECT_EQ(ReportsAfterRunning(),
              (std::vector<Report>{{S::PausePending, 0}, {S::Paused, 0}, {S::Paused, 0},
                                   {S::ContinuePending, 0}, {S::Running, 0},
                                   {S::StopPending, 0}, {S::Stopped, 0}}));
}

TEST_F(ServiceHostTest, ErrorEscapingTheCycleEndsTheServiceWithExecuteRecord) {
    Build([](int) -> void { throw std::runtime_error("statement failed"); });
    service_->ServiceEntry(sleeper_);

    EXPECT_EQ(ReportsAfterRunning(), (std::vector<Report>{{S::Stopped, 0}}));
    EXPECT_EQ(sleeper_.sleeps.load(), 29);
    EXPECT_EQ(Records(), (std::vector<std::string>{
                             "TesselComService: Service failed on execute: statement failed"}));
    EXPECT_EQ(service_->ExitStatus(), 1);
}

TEST_F(ServiceHostTest, MalformedPasswordFailsTheStart) {
    test::TempDir dir;
    std::string ini = dir.Write("configs.ini", "[DBCONFIG]\nServer=127.0.0.1\nPassword=G1A2\n");
    start_ = [ini] {
        config::ReadStartupConfiguration(ini);
        return true;
    };
    Build();
    service_->ServiceEntry(sleeper_);

    EXPECT_EQ(channel_.Reports(), (std::vector<Report>{{S::StartPending, 1},
                                                       {S::StartPending, 2},
                                                       {S::Stopped, 0}}));
    EXPECT_EQ(Records(), (std::vector<std::string>{
                             "TesselComService: Service failed on start: "
                             "'$G1' is not a valid integer value"}));
    EXPECT_EQ(sleeper_.sleeps.load(), 0);
    EXPECT_EQ(service_->ExitStatus(), 1);
}

TEST_F(ServiceHostTest, StartNotConfirmedEndsQuietly) {
    start_ = [] { return false; };
    Build();
    service_->ServiceEntry(sleeper_);

    EXPECT_EQ(channel_.Reports(), (std::vector<Report>{{S::StartPending, 1},
                                                       {S::StartPending, 2},
                                                       {S::Stopped, 0}}));
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(service_->ExitStatus(), 0);
}

TEST_F(ServiceHostTest, FailedControlRequestRepublishesThePreviousStateAndGoesOn) {
    int stops = 0;
    stop_ = [&stops]() -> bool {
        if (++stops == 1) throw std::runtime_error("busy");
        return true;
    };
    sleeper_.onSleep[3] = {kControlStop};
    sleeper_.onSleep[4] = {kControlStop};
    Build();
    service_->ServiceEntry(sleeper_);

    EXPECT_EQ(ReportsAfterRunning(),
              (std::vector<Report>{{S::StopPending, 0}, {S::Running, 0},
                                   {S::StopPending, 0}, {S::Stopped, 0}}));
    EXPECT_EQ(Records(),
              (std::vector<std::string>{"TesselComService: Service failed on stop: busy"}));
    EXPECT_EQ(sleeper_.sleeps.load(), 4);
    EXPECT_EQ(service_->ExitStatus(), 1);
    // Each stop interrupted the work at once; the failed one let the cycles work again.
    EXPECT_EQ(interrupts_.load(), 2);
    EXPECT_EQ(resumes_.load(), 1);
}

// Work found during a tick starts a cycle at once; the next one then comes after 30 ticks again.
TEST_F(ServiceHostTest, WorkFoundBetweenCyclesStartsACycleAtOnce) {
    sleeper_.workOn = {5, 40};
    Build([this](int cycle) {
        if (cycle == 4) service_->ControlHandler(kControlStop);
    });
    service_->ServiceEntry(sleeper_);
    EXPECT_EQ(cycleSleeps_, (std::vector<int>{5, 35, 40, 70}));
}

TEST_F(ServiceHostTest, OnlyStopAndShutdownInterruptTheWorkInProgress) {
    Build();
    for (ControlCode code : {kControlPause, kControlContinue, kControlInterrogate, ControlCode{200}}) {
        service_->ControlHandler(code);
    }
    EXPECT_EQ(interrupts_.load(), 0);
    EXPECT_EQ(pauses_.load(), 1) << "a pause ends the work in progress at a message boundary";
    service_->ControlHandler(kControlStop);
    service_->ControlHandler(kControlShutdown);
    EXPECT_EQ(interrupts_.load(), 2);
    EXPECT_EQ(resumes_.load(), 0);
}

TEST(StatusPublisherTest, CheckpointRisesOnlyForARepeatedPendingState) {
    RecordingChannel channel;
    StatusPublisher publisher(channel);
    const std::vector<Report> sequence = {
        {S::StartPending, 1}, {S::StartPending, 2}, {S::Running, 0},     {S::Running, 0},
        {S::PausePending, 0}, {S::PausePending, 1}, {S::Paused, 0},      {S::Paused, 0},
        {S::ContinuePending, 0}, {S::StopPending, 0}, {S::StopPending, 1}, {S::StopPending, 2},
        {S::Stopped, 0},      {S::Stopped, 0},      {S::StartPending, 0}};
    for (const Report& report : sequence) publisher.Publish(report.State);
    EXPECT_EQ(channel.Reports(), sequence);
    EXPECT_EQ(publisher.CurrentState(), S::StartPending);
}

// A channel that cannot send: the failure is recorded with the system's text and the state kept.
TEST(StatusPublisherTest, FailedSendIsRecordedAndTheStateStays) {
    std::vector<std::string> records;
    ScopedEventSink sink([&](Severity, const std::string& source, const std::string& text) {
        records.push_back(source + ": " + text);
    });
    struct FailingChannel : StatusChannel {
        void Send(const StatusReport&) override { throw PlatformError(ECONNREFUSED); }
    } channel;
    StatusPublisher publisher(channel);
    publisher.Publish(S::Running);
    EXPECT_EQ(publisher.CurrentState(), S::Running);
    EXPECT_EQ(records, (std::vector<std::string>{"TesselComService: Connection refused"}));
}

}  // namespace
}  // namespace tessel::service
