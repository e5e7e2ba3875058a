// The real tesselcomsvc binary in a directory of its own, run as a child process with bounded waits,
// and a stand-in for the service manager's notification socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/connection_parameters.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace tessel::e2e {

// kProcessLimit - no child may run longer than this in a test; past it, it is killed and the test fails.
inline constexpr std::chrono::seconds kProcessLimit{90};

using test::UnusedLoopbackPort;

// ProcessResult - how a child ended (exit status, or 128 + signal; -1 when it had to be killed).
struct ProcessResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// ServiceInstall - the binary copied alone into <dir>/bin with a configs.ini for the parameters
// (the password enciphered as the service expects it).
class ServiceInstall {
public:
    ServiceInstall(const test::TempDir& dir, const config::ConnectionParameters& parameters);

    const std::string& Executable() const { return executable_; }
    // AttachmentDirectory - where the service rebuilds attachments.
    std::string AttachmentDirectory() const { return directory_ + "/attachments"; }

    // RunOnce - tesselcomsvc --once (and arguments) to its end (bounded by kProcessLimit).
    ProcessResult RunOnce(const std::vector<std::string>& environment = {},
                          const std::vector<std::string>& arguments = {}) const;
    // Run - tesselcomsvc with arguments to its end (bounded by kProcessLimit).
    ProcessResult Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) const;

private:
    const test::TempDir& dir_;
    std::string directory_;
    std::string executable_;
};

// RunningService - tesselcomsvc in run mode with a short tick; standard output and error go to
// files. The destructor kills a child that is still running.
class RunningService {
public:
    RunningService(const ServiceInstall& install, const test::TempDir& dir, int tickMs,
                   const std::vector<std::string>& environment);
    // The binary with the given options instead of a tick (for instance --once).
    RunningService(const ServiceInstall& install, const test::TempDir& dir, const std::vector<std::string>& options,
                   const std::vector<std::string>& environment = {});
    ~RunningService();
    RunningService(const RunningService&) = delete;
    RunningService& operator=(const RunningService&) = delete;

    pid_t Pid() const { return pid_; }
    // Signal - sends sig to the process.
    void Signal(int sig) const;
    // Queue - sigqueue of SIGRTMIN with value (a control code).
    void Queue(int value) const;
    // Wait - waits for the end of the process (bounded; kills it past limit and returns Status -1).
    ProcessResult Wait(std::chrono::milliseconds limit = kProcessLimit);
    // Err - what it wrote on standard error so far.
    std::string Err() const;

private:
    const test::TempDir& dir_;
    pid_t pid_ = -1;
};

// Report - one status datagram: its assignments.
using Report = std::map<std::string, std::string>;

// NotifyListener - a bound datagram socket at path, read on a thread of its own (the service's
// reports block while the socket's queue is full).
class NotifyListener {
public:
    explicit NotifyListener(std::string path);
    ~NotifyListener();
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    const std::string& Path() const { return path_; }
    // Reports - every report received so far, in order. While the service runs, its latest
    // reports may still wait in the socket: after it has ended, use ReportsOfEndedProcess.
    std::vector<Report> Reports() const;
    // ReportsOfEndedProcess - every report the service sent, in order, once the process that sent
    // them has ended: a report is queued in the socket when it is sent, so the ones the thread has
    // not taken yet are read here, without waiting.
    std::vector<Report> ReportsOfEndedProcess();
    // WaitFor - waits until a report with STATUS starting with state has come after the first
    // `after` reports, or limit has passed; true when it has.
    bool WaitFor(const std::string& state, std::size_t after, std::chrono::milliseconds limit) const;

private:
    void Run();
    // TakeOne - reads one queued report, when there is one, and files it; under receive_.
    bool TakeOne();

    std::string path_;
    int fd_ = -1;
    bool stop_ = false;
    // Held from a datagram's receipt to its filing, so that two readers keep the sending order.
    std::mutex receive_;
    mutable std::mutex lock_;
    std::vector<Report> reports_;
    std::thread thread_;
};

// StateName - the state named in a report's STATUS ("running" of "running (checkpoint 0)").
std::string StateName(const Report& report);

}  // namespace tessel::e2e
