#include "service_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "config/password_cipher.h"
#include "support/child_process.h"

namespace tessel::e2e {
namespace {

constexpr auto kWaitStep = std::chrono::milliseconds(10);

pid_t Spawn(std::vector<std::string> argv, const std::vector<std::string>& environment,
            const std::string& out, const std::string& err) {
    return test::SpawnChild(argv, environment, "/dev/null", out, err);
}

// WaitBounded - the exit status of pid; past limit the child is killed and -1 returned.
int WaitBounded(pid_t pid, std::chrono::milliseconds limit) {
    if (pid <= 0) return -1;
    auto giveUp = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= giveUp) {
            ADD_FAILURE() << "process " << pid << " did not end within the bound; killed";
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(kWaitStep);
    }
}

}  // namespace

ServiceInstall::ServiceInstall(const test::TempDir& dir, const config::ConnectionParameters& parameters)
    : dir_(dir), directory_(dir.File("bin")), executable_(directory_ + "/tesselcomsvc") {
    std::filesystem::create_directories(directory_);
    std::filesystem::copy_file(TESSEL_EXECUTABLE, executable_);
    std::ofstream(directory_ + "/configs.ini")
        << "[DBCONFIG]\nServer=" << parameters.Server << "\nPort=" << parameters.Port
        << "\nDatabase=" << parameters.Database << "\nUsername=" << parameters.UserName << "\nPassword="
        << config::HexEncode(config::EncryptString(parameters.Password, config::kCipherStartKey)) << "\n"
        << (parameters.Ssl ? "SSL=1\n" : "") << (parameters.SslVerify ? "SSLVerify=1\n" : "")
        << (parameters.SslCa.empty() ? "" : "SSLCA=" + parameters.SslCa + "\n");
    // As an operator keeps it: it holds the database password.
    std::filesystem::permissions(directory_ + "/configs.ini", std::filesystem::perms::owner_read |
                                                                  std::filesystem::perms::owner_write);
}

ProcessResult ServiceInstall::RunOnce(const std::vector<std::string>& environment,
                                      const std::vector<std::string>& arguments) const {
    std::vector<std::string> withOnce = {"--once"};
    withOnce.insert(withOnce.end(), arguments.begin(), arguments.end());
    return Run(withOnce, environment);
}

ProcessResult ServiceInstall::Run(const std::vector<std::string>& arguments,
                                  const std::vector<std::string>& environment) const {
    std::vector<std::string> argv = {executable_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_t pid = Spawn(argv, environment, dir_.File("once.out"), dir_.File("once.err"));
    ProcessResult result;
    result.Status = WaitBounded(pid, kProcessLimit);
    result.Out = test::ReadFile(dir_.File("once.out"));
    result.Err = test::ReadFile(dir_.File("once.err"));
    return result;
}

RunningService::RunningService(const ServiceInstall& install, const test::TempDir& dir, int tickMs,
                               const std::vector<std::string>& environment)
    : dir_(dir) {
    pid_ = Spawn({install.Executable(), "--tick-ms=" + std::to_string(tickMs)}, environment,
                 dir.File("run.out"), dir.File("run.err"));
}

RunningService::RunningService(const ServiceInstall& install, const test::TempDir& dir,
                               const std::vector<std::string>& options, const std::vector<std::string>& environment)
    : dir_(dir) {
    std::vector<std::string> arguments{install.Executable()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    pid_ = Spawn(arguments, environment, dir.File("run.out"), dir.File("run.err"));
}

RunningService::~RunningService() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void RunningService::Signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
}

void RunningService::Queue(int value) const {
    if (pid_ > 0) ::sigqueue(pid_, SIGRTMIN, sigval{.sival_int = value});
}

ProcessResult RunningService::Wait(std::chrono::milliseconds limit) {
    ProcessResult result;
    result.Status = WaitBounded(pid_, limit);
    pid_ = -1;
    result.Out = test::ReadFile(dir_.File("run.out"));
    result.Err = test::ReadFile(dir_.File("run.err"));
    return result;
}

std::string RunningService::Err() const { return test::ReadFile(dir_.File("run.err")); }

NotifyListener::NotifyListener(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), std::min(path_.size(), sizeof address.sun_path - 1));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot bind " << path_ << ": " << std::strerror(errno);
    }
    thread_ = std::thread([this] { Run(); });
}

NotifyListener::~NotifyListener() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    thread_.join();
    ::close(fd_);
}

void NotifyListener::Run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stop_) return;
        }
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, 20) != 1) continue;
        std::lock_guard<std::mutex> receiving(receive_);
        TakeOne();
    }
}

bool NotifyListener::TakeOne() {
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) return false;
    if (n == 0) return true;  // an empty datagram is no report
    Report report;
    std::istringstream lines(std::string(buffer, static_cast<std::size_t>(n)));
    for (std::string line; std::getline(lines, line);) {
        auto equals = line.find('=');
        report[line.substr(0, equals)] = equals == std::string::npos ? "" : line.substr(equals + 1);
    }
    std::lock_guard<std::mutex> hold(lock_);
    reports_.push_back(std::move(report));
    return true;
}

std::vector<Report> NotifyListener::ReportsOfEndedProcess() {
    {
        std::lock_guard<std::mutex> receiving(receive_);
        while (TakeOne()) {
        }
    }
    return Reports();
}

std::vector<Report> NotifyListener::Reports() const {
    std::lock_guard<std::mutex> hold(lock_);
    return reports_;
}

bool NotifyListener::WaitFor(const std::string& state, std::size_t after, std::chrono::milliseconds limit) const {
    auto giveUp = std::chrono::steady_clock::now() + limit;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (std::size_t i = after; i < reports_.size(); ++i) {
                if (StateName(reports_[i]) == state) return true;
            }
        }
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        std::this_thread::sleep_for(kWaitStep);
    }
}

std::string StateName(const Report& report) {
    auto found = report.find("STATUS");
    if (found == report.end()) return "";
    auto paren = found->second.find(" (");
    return found->second.substr(0, paren);
}

}  // namespace tessel::e2e
