// The file of the state directory that names the process working with it, so that --flush can
// reach that process; its lock also keeps --flush and a starting instance from writing the retry
// state at the same time.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "util/unique_fd.h"

namespace tessel::service {

// kInstanceFileName - the file's name in the state directory.
inline constexpr std::string_view kInstanceFileName = "tesselcomsvc.pid";

// FlushSignal - the real-time signal --flush queues to a running instance.
inline int FlushSignal() noexcept { return SIGRTMIN + 2; }

// kInstanceClaimWait - how long a starting instance waits for a --flush that holds the file's lock.
inline constexpr std::chrono::seconds kInstanceClaimWait{2};

// InstanceFile - the file locked (flock, exclusive) for as long as the object lives. The file itself
// stays when the lock goes: a lock, unlike a file, cannot outlive a killed process.
class InstanceFile {
public:
    // Claim - locks <stateDirectory>/tesselcomsvc.pid and writes this process's id into it, waiting
    // up to kInstanceClaimWait for another holder. Nothing, with a warning record, when it cannot be
    // had (another process of the service keeps it): the process then runs without. Never throws.
    static std::optional<InstanceFile> Claim(const std::string& stateDirectory);

    // TryLock - the file's lock without waiting (the file made when missing); nothing when another
    // process holds it. Throws Error when the file cannot be opened or locked.
    static std::optional<InstanceFile> TryLock(const std::string& stateDirectory);

    // HolderPid - the process id written in the file; nothing when it holds none (yet). Throws
    // Error when the file cannot be read.
    static std::optional<pid_t> HolderPid(const std::string& stateDirectory);

private:
    explicit InstanceFile(UniqueFd fd) : fd_(std::move(fd)) {}

    UniqueFd fd_;
};

}  // namespace tessel::service
