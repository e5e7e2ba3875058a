#include "service/flush_mode.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <ostream>
#include <thread>

#include "cycle/retry_state_file.h"
#include "service/instance_file.h"
#include "util/error.h"

namespace tessel::service {
namespace {

// A holder writes its id right after it took the lock: a --flush that comes in between waits.
constexpr std::chrono::seconds kHolderPidWait{1};
constexpr std::chrono::milliseconds kHolderPidStep{10};

std::optional<pid_t> WaitForHolderPid(const std::string& stateDirectory) {
    auto giveUp = std::chrono::steady_clock::now() + kHolderPidWait;
    for (;;) {
        if (std::optional<pid_t> pid = InstanceFile::HolderPid(stateDirectory)) return pid;
        if (std::chrono::steady_clock::now() >= giveUp) return std::nullopt;
        std::this_thread::sleep_for(kHolderPidStep);
    }
}

// SignalInstance - asks the instance that holds the file to flush. Throws Error.
std::string SignalInstance(const std::string& stateDirectory) {
    std::optional<pid_t> pid = WaitForHolderPid(stateDirectory);
    if (!pid) {
        throw Error("the instance file of " + stateDirectory + " is locked but names no process");
    }
    union sigval value {};
    if (::sigqueue(*pid, FlushSignal(), value) != 0) {
        throw Error("the running instance (process " + std::to_string(*pid) + ") cannot be signalled: " +
                    SystemText(errno));
    }
    return "The running instance (process " + std::to_string(*pid) +
           ") clears every back-off and starts a cycle now";
}

// FlushFile - clears the back-offs kept in the file, for the next instance to read. Throws Error.
std::string FlushFile(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
        return "No instance is running, and no row is in back-off (" + path + " does not exist)";
    }
    cycle::RetrySchedule schedule;
    cycle::RetryStateFile file(path);
    file.Load(schedule);
    const std::size_t waiting = schedule.WaitingCount();
    schedule.ClearBackOffs();
    if (!file.Save(schedule)) throw Error(path + " cannot be written (see the warning record)");
    return "No instance is running: the back-off of " + std::to_string(waiting) + " rows was cleared in " +
           path + "; the next run tries every queued row at once";
}

}  // namespace

int RunFlush(const config::FileLocations& locations, std::ostream& out, std::ostream& err) noexcept {
    try {
        config::CheckGivenLocations(locations);
        const std::string directory = config::StateDirectory(locations);
        std::optional<InstanceFile> own = InstanceFile::TryLock(directory);
        std::string done = own ? FlushFile(directory + std::string(cycle::kRetryStateFileName))
                               : SignalInstance(directory);
        out << done << "\n" << std::flush;
        return 0;
    } catch (const std::exception& e) {
        try {
            err << "tesselcomsvc: --flush failed: " << e.what() << "\n" << std::flush;
        } catch (...) {
        }
        return 1;
    }
}

}  // namespace tessel::service
