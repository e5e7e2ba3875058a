#include "support/child_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

extern char** environ;

namespace tessel::test {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

bool Overridden(std::string_view entry, const std::vector<std::string>& extra) {
    std::string_view name = entry.substr(0, entry.find('=') + 1);
    for (const std::string& e : extra) {
        if (std::string_view(e).starts_with(name)) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        if (text.starts_with("NOTIFY_SOCKET=") || text.starts_with("JOURNAL_STREAM=") ||
            text.starts_with("TESSELCOM_UNIT_DIR=") || text.starts_with("LC_ALL=") ||
            Overridden(text, extra)) {
            continue;
        }
        result.emplace_back(text);
    }
    if (!Overridden("LC_ALL=", extra)) result.emplace_back("LC_ALL=C");
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

pid_t SpawnChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                 const std::string& inPath, const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = ChildEnvironment(extraEnvironment);
    auto args = Pointers(arguments);
    auto envp = Pointers(environment);
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        // Signals blocked by a test thread must not stay blocked in the child.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int in = ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0) {
            ::_exit(127);
        }
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(errno);
        return -1;
    }
    return pid;
}

}  // namespace tessel::test
