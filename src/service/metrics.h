// The service's metrics in the Prometheus text format, written to a file after every cycle for
// node_exporter's text-file collector (no port is opened).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "util/unique_fd.h"

#include "cycle/work_cycle.h"

namespace tessel::service {

// Mode of the metrics file: the collector runs as another user.
inline constexpr unsigned int kMetricsFileMode = 0644;

// ServiceMetrics - gauges of the last cycle and counters since the process started.
class ServiceMetrics {
public:
    // RecordCycle - takes in one cycle's report; end is when it ended, duration how long it took.
    void RecordCycle(const cycle::CycleReport& report, std::chrono::system_clock::time_point end,
                     std::chrono::duration<double> duration);
    // MarkStopped - tesselcom_up and tesselcom_active become 0 (the process is ending).
    void MarkStopped() {
        up_ = false;
        active_ = false;  // the session, and with it the lock, ends with the process
    }

    // Render - the text format (version 0.0.4): HELP and TYPE before each metric's samples.
    std::string Render() const;

private:
    bool up_ = true;
    bool active_ = false;
    bool reachable_ = false;
    double endSeconds_ = 0;
    double durationSeconds_ = 0;
    std::uint64_t queueRows_ = 0;
    std::uint64_t pendingRows_ = 0;
    std::uint64_t alarmsDispatched_ = 0;
    cycle::DrainCounts messages_;
    std::optional<db::LeaseHolder> holder_;  // the lease's holder as the last cycle found it
};

// MetricsFile - ServiceMetrics written to path after each cycle; does nothing when path is empty.
// The file's directory is opened once, by SetPath, and written through that descriptor: a
// directory that another user could change (OpenTrustedDirectory) is refused with one warning
// record, and nothing is written until the next start. A file that cannot be written gives one
// warning record (again only after it could be written, or when the reason changes); the service
// goes on.
class MetricsFile {
public:
    explicit MetricsFile(std::string path = {}) { SetPath(std::move(path)); }
    // SetPath - the file to write from now on; opens its directory (warning record when refused).
    void SetPath(std::string path);
    bool Enabled() const { return !path_.empty(); }
    ServiceMetrics& Metrics() { return metrics_; }
    // Write - replaces the file with the current metrics. Never throws.
    void Write() noexcept;

private:
    std::string path_;
    std::string name_;      // the file's name in directory_
    UniqueFd directory_;    // none: the directory was refused
    ServiceMetrics metrics_;
    std::string lastFailure_;
};

// MetricsPathFromConfig - [METRICS] File of the configs.ini at configPath; a relative path is taken
// from that file's directory; empty when not set.
std::string MetricsPathFromConfig(const std::string& configPath);

}  // namespace tessel::service
