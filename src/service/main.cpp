// tesselcomsvc: the service in the foreground, or its installer, or one of the helper modes.
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/config_file_mode.h"
#include "config/file_locations.h"
#include "config/startup_config.h"
#include "cycle/work_cycle.h"
#include "db/database.h"
#include "mail/send_email.h"
#include "mime/message_id.h"
#include "service/check_mode.h"
#include "service/command_line.h"
#include "service/dispatcher.h"
#include "service/flush_mode.h"
#include "service/installer.h"
#include "service/instance_file.h"
#include "service/metrics.h"
#include "service/notify_socket.h"
#include "service/once.h"
#include "service/queue_listing.h"
#include "service/tessel_com_service.h"
#include "util/broken_pipe.h"
#include "util/event_log.h"

namespace {

using namespace tessel;
using namespace tessel::service;

// The work behind the service, alive for the whole process; only the worker thread uses it.
// This is the one place that connects the host to the database and the work cycle.
class ServiceWork {
public:
    explicit ServiceWork(config::FileLocations locations)
        : locations_(std::move(locations)),
          sender_(smtp::SessionTimeouts{}, &stop_),
          cycle_(database_, sender_, config::AttachmentRoot(locations_)) {
        cycle_.WatchStop(stop_);
        cycle_.WatchPause(pause_);
    }

    // Start-up configuration: the connection parameters from configs.ini. Throws Error for a
    // place named on the command line that does not exist, ConversionError for a malformed
    // Password value.
    bool ServiceStart() {
        config::CheckGivenLocations(locations_);
        const std::string path = config::ConfigFilePath(locations_);
        if (std::string warning = config::ConfigFileModeWarning(path); !warning.empty()) {
            WriteWarning(kServiceSource, warning);
        }
        const config::ConnectionParameters parameters = config::ReadStartupConfiguration(path);
        database_.SetParameters(parameters);
        // Both hosts of a pair log in alike, so a row retried after a takeover keeps its Message-ID.
        sender_.SetMessageIdKey(mime::MessageIdKey(parameters.UserName, parameters.Password));
        // Claimed before the retry state is read: a --flush rewriting it without an instance is done by then.
        instance_ = InstanceFile::Claim(config::StateDirectory(locations_));
        // Kept across restarts and --once runs: the back-off and give-up clock of each row.
        cycle_.KeepRetryStateIn(config::StateDirectory(locations_) +
                                std::string(cycle::kRetryStateFileName));
        metrics_.SetPath(MetricsPathFromConfig(path));
        cycle_.SetCountQueue(metrics_.Enabled());
        return true;
    }

    // One pass of the work; its errors end the service.
    CycleResult RunCycle() {
        auto started = std::chrono::steady_clock::now();
        ApplyFlush();
        cycle::CycleOutcome outcome = cycle_.RunCycle();
        // A flush that came during the cycle counts at once: --once ends here.
        ApplyFlush();
        metrics_.Metrics().RecordCycle(cycle_.LastReport(), std::chrono::system_clock::now(),
                                       std::chrono::steady_clock::now() - started);
        metrics_.Write();
        switch (outcome) {
            case cycle::CycleOutcome::Completed:
                return cycle_.LastDrain().Outcome == cycle::DrainOutcome::Deferred ? CycleResult::Deferred
                                                                                   : CycleResult::Completed;
            case cycle::CycleOutcome::Held: return CycleResult::Held;
            case cycle::CycleOutcome::Standby: return CycleResult::Standby;
            case cycle::CycleOutcome::NotConnected: return CycleResult::NotConnected;
        }
        return CycleResult::Completed;
    }

    // The process is ending: the metrics say so (a killed process leaves its last cycle's file,
    // whose end time then grows old).
    void Stopped() {
        metrics_.Metrics().MarkStopped();
        metrics_.Write();
    }

    const std::string& LastConnectError() const { return cycle_.LastConnectError(); }

    // Interrupt - a stop arrived: the drain ends at its next message boundary. Any thread.
    void Interrupt() noexcept { stop_.Request(); }
    // Resume - that stop did not end the service after all.
    void Resume() noexcept { stop_.Clear(); }
    // RequestFlush - every back-off is cleared before the next cycle. Any thread.
    void RequestFlush() noexcept { flushRequested_.store(true); }
    // Pause - a pause arrived: the drain ends at its next message boundary. Any thread.
    void Pause() noexcept { pause_.Request(); }
    // Continue - the pause is over.
    void Continue() noexcept { pause_.Clear(); }

    // WatchInterval / WorkWaiting - the look for new work between cycles (cycle.watch).
    std::optional<std::chrono::milliseconds> WatchInterval() const { return cycle_.WatchInterval(); }
    bool WorkWaiting() noexcept { return cycle_.WorkWaiting(); }

private:
    void ApplyFlush() {
        if (!flushRequested_.exchange(false)) return;
        cycle_.ClearBackOffs();
        WriteInformation(kServiceSource, "Every back-off was cleared on request (--flush): every queued row "
                                         "may be tried at once");
    }

    config::FileLocations locations_;
    StopSignal stop_;
    StopSignal pause_;
    db::Database database_;
    mail::SmtpMailSender sender_;
    cycle::WorkCycle cycle_;
    MetricsFile metrics_;
    std::optional<InstanceFile> instance_;
    std::atomic<bool> flushRequested_{false};
};

ServiceHandlers MakeServiceHandlers(ServiceWork& work) {
    ServiceHandlers handlers;
    handlers.ServiceStart = [&work] { return work.ServiceStart(); };
    handlers.RunCycle = [&work] { return work.RunCycle(); };
    handlers.LastConnectError = [&work] { return work.LastConnectError(); };
    handlers.InterruptWork = [&work] { work.Interrupt(); };
    handlers.ResumeWork = [&work] { work.Resume(); };
    handlers.RequestFlush = [&work] { work.RequestFlush(); };
    handlers.PauseWork = [&work] { work.Pause(); };
    handlers.ContinueWork = [&work] { work.Continue(); };
    return handlers;
}

int RunMode(const CommandLine& commandLine) {
    // A stop that arrives while the service is being set up waits for the dispatcher.
    if (commandLine.Selected == Mode::Run) BlockControlSignals();
    ServiceWork work(commandLine.Locations);
    NotifySocketChannel channel = NotifySocketChannel::FromEnvironment();
    TesselComService service(MakeServiceHandlers(work), channel);
    int status = 0;
    if (commandLine.Selected == Mode::Once) {
        status = RunOnce(service, std::cerr);
    } else {
        // Between cycles the sleeper looks for new work, so that it need not wait for its turn.
        WatchingSleeper sleeper(commandLine.Tick, [&work] { return work.WatchInterval(); },
                                [&work] { return work.WorkWaiting(); });
        status = RunServiceProcess(service, sleeper);
    }
    work.Stopped();
    return status;
}

int Main(const CommandLine& commandLine) {
    switch (commandLine.Selected) {
        case Mode::Help:
            std::cout << HelpText();
            return 0;
        case Mode::Version:
            std::cout << VersionText();
            return 0;
        case Mode::Invalid:
            std::cerr << "tesselcomsvc: " << commandLine.Error << "\n";
            return kExitUsage;
        case Mode::Install:
        case Mode::Uninstall:
            return ApplyRegistration(commandLine.Selected == Mode::Install, commandLine.Silent,
                                     commandLine.Locations);
        case Mode::Encipher:
            std::cout << EncipherPasswordLine(std::cin) << "\n";
            return 0;
        case Mode::Check:
        case Mode::SendTest:
            return RunCheck(commandLine.Locations, CheckOptions{commandLine.CheckTimeout, commandLine.TestAddress},
                            std::cout);
        case Mode::Queue:
            return RunQueueListing(commandLine.Locations, std::cout, std::cerr);
        case Mode::Flush:
            return RunFlush(commandLine.Locations, std::cout, std::cerr);
        case Mode::Once:
        case Mode::Run:
            return RunMode(commandLine);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The process holds the database and mail passwords: no core file, and no other process of the
    // same user may read its memory.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    IgnoreBrokenPipes();
    try {
        return Main(ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc)));
    } catch (const std::exception& error) {
        // Nothing else catches: for instance the unit directory could not be opened.
        std::cerr << error.what() << "\n";
        return 1;
    }
}
