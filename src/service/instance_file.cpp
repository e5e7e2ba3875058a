#include "service/instance_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "util/error.h"
#include "util/event_log.h"
#include "util/parse_integer.h"

namespace tessel::service {
namespace {

constexpr mode_t kFileMode = 0600;
constexpr std::chrono::milliseconds kClaimStep{20};
constexpr std::size_t kLongestPidText = 32;

std::string PathIn(const std::string& stateDirectory) {
    return stateDirectory + std::string(kInstanceFileName);
}

// OpenFile - the file, made when missing; never through a link. Throws Error.
UniqueFd OpenFile(const std::string& path, int access) {
    UniqueFd fd(::open(path.c_str(), access | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!fd) throw Error(path + " cannot be opened: " + SystemText(errno));
    return fd;
}

// Lock - true when the exclusive lock was had without waiting. Throws Error.
bool Lock(int fd, const std::string& path) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return false;
        throw Error(path + " cannot be locked: " + SystemText(errno));
    }
    return true;
}

}  // namespace

std::optional<InstanceFile> InstanceFile::TryLock(const std::string& stateDirectory) {
    const std::string path = PathIn(stateDirectory);
    UniqueFd fd = OpenFile(path, O_RDWR);
    if (!Lock(fd.Get(), path)) return std::nullopt;
    return InstanceFile(std::move(fd));
}

std::optional<InstanceFile> InstanceFile::Claim(const std::string& stateDirectory) {
    const std::string path = PathIn(stateDirectory);
    try {
        auto giveUp = std::chrono::steady_clock::now() + kInstanceClaimWait;
        std::optional<InstanceFile> held = TryLock(stateDirectory);
        // A --flush holds the lock only while it rewrites the retry state.
        while (!held && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(kClaimStep);
            held = TryLock(stateDirectory);
        }
        if (!held) {
            std::optional<pid_t> holder = HolderPid(stateDirectory);
            WriteWarning(kServiceSource, "Another process" +
                                             (holder ? " (" + std::to_string(*holder) + ")" : std::string()) +
                                             " of this service works with the state directory " + stateDirectory +
                                             ": --flush reaches only that one");
            return std::nullopt;
        }
        const std::string text = std::to_string(::getpid()) + "\n";
        if (::ftruncate(held->fd_.Get(), 0) != 0 ||
            ::pwrite(held->fd_.Get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            throw Error(path + " cannot be written: " + SystemText(errno));
        }
        return held;
    } catch (const std::exception& e) {
        WriteWarning(kServiceSource, std::string(e.what()) + ": --flush cannot reach this process");
        return std::nullopt;
    }
}

std::optional<pid_t> InstanceFile::HolderPid(const std::string& stateDirectory) {
    const std::string path = PathIn(stateDirectory);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) throw Error(path + " cannot be opened: " + SystemText(errno));
    char text[kLongestPidText] = {};
    ssize_t got = ::pread(fd.Get(), text, sizeof text - 1, 0);
    if (got < 0) throw Error(path + " cannot be read: " + SystemText(errno));
    std::string_view value(text, static_cast<std::size_t>(got));
    if (value.ends_with('\n')) value.remove_suffix(1);
    if (value.empty() || value.find_first_not_of("0123456789") != value.npos) return std::nullopt;
    std::optional<std::int32_t> pid = TryParseInteger(value);
    if (!pid || *pid <= 0) return std::nullopt;
    return static_cast<pid_t>(*pid);
}

}  // namespace tessel::service
