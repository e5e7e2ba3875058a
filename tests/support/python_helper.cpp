#include "support/python_helper.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessel::test {

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartLimit = std::chrono::seconds(30);

}  // namespace

PythonHelper::PythonHelper(const std::string& script, const std::vector<std::string>& extra,
                           const std::string& dir) {
    std::vector<std::string> args = {kPython, "-W", "ignore", TESSEL_SOURCE_DIR "/tests/support/" + script};
    args.insert(args.end(), extra.begin(), extra.end());
    int toChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(kPython, argv.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    stdinFd_ = toChild[1];
    if (pid_ < 0) {
        ::close(stdinFd_);
        throw std::runtime_error("fork failed");
    }
    auto giveUp = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < giveUp) {
        std::ifstream portFile(dir + "/port");
        if (portFile >> port_ && port_ > 0) {
            return;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    throw std::runtime_error(script + " did not start");
}

PythonHelper::~PythonHelper() {
    Stop();
}

void PythonHelper::Stop() noexcept {
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
        stdinFd_ = -1;
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

}  // namespace tessel::test
