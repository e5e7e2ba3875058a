#include "service/metrics.h"

#include <cstdio>
#include <exception>

#include "config/ini_reader.h"
#include "util/event_log.h"
#include "util/replace_file.h"
#include "util/trusted_directory.h"

namespace tessel::service {
namespace {

// Family - writes the HELP and TYPE lines of one metric.
void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, std::uint64_t value) {
    out += name + " " + std::to_string(value) + "\n";
}

// LabelValue - text as a label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

void Sample(std::string& out, const std::string& name, double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    out += name + " " + text + "\n";
}

}  // namespace

void ServiceMetrics::RecordCycle(const cycle::CycleReport& report,
                                 std::chrono::system_clock::time_point end,
                                 std::chrono::duration<double> duration) {
    reachable_ = report.Outcome != cycle::CycleOutcome::NotConnected;
    // Only a cycle that claimed tells who holds the lease now.
    if (report.Outcome == cycle::CycleOutcome::Completed || report.Outcome == cycle::CycleOutcome::Standby) {
        holder_ = report.Holder;
    }
    active_ = report.HoldsLock;
    endSeconds_ = std::chrono::duration<double>(end.time_since_epoch()).count();
    durationSeconds_ = duration.count();
    // An unreachable database leaves the last counts standing: tesselcom_database_reachable says so.
    if (report.QueueRows) {
        queueRows_ = *report.QueueRows;
        pendingRows_ = report.PendingRows;
    }
    alarmsDispatched_ += report.AlarmsDispatched;
    const cycle::DrainCounts& c = report.Drain;
    messages_.Delivered += c.Delivered;
    messages_.Refused += c.Refused;
    messages_.Pending += c.Pending;
    messages_.Deferred += c.Deferred;
    messages_.Unconfirmed += c.Unconfirmed;
    messages_.GivenUp += c.GivenUp;
}

std::string ServiceMetrics::Render() const {
    std::string out;
    Family(out, "tesselcom_up", "gauge", "1 while the service process runs, 0 once it has stopped.");
    Sample(out, "tesselcom_up", std::uint64_t{up_});
    Family(out, "tesselcom_active", "gauge",
           "1 when this instance holds the work lock of its database (it sends; 0: standby, held or unreachable).");
    Sample(out, "tesselcom_active", std::uint64_t{active_});
    Family(out, "tesselcom_lease_epoch", "gauge",
           "Epoch of the lease service.active and the host that holds it, as the last cycle found them (no sample: no valid lease, or the instances use the lock).");
    if (holder_) Sample(out, "tesselcom_lease_epoch{host=\"" + LabelValue(holder_->Host) + "\"}", holder_->Epoch);
    Family(out, "tesselcom_database_reachable", "gauge",
           "1 when the last cycle could connect to the database.");
    Sample(out, "tesselcom_database_reachable", std::uint64_t{reachable_});
    Family(out, "tesselcom_last_cycle_end_timestamp_seconds", "gauge",
           "Unix time at which the last cycle ended.");
    Sample(out, "tesselcom_last_cycle_end_timestamp_seconds", endSeconds_);
    Family(out, "tesselcom_last_cycle_duration_seconds", "gauge", "How long the last cycle took.");
    Sample(out, "tesselcom_last_cycle_duration_seconds", durationSeconds_);
    Family(out, "tesselcom_queue_rows", "gauge",
           "Rows in mail_spooler after the last cycle that reached the database.");
    Sample(out, "tesselcom_queue_rows", queueRows_);
    Family(out, "tesselcom_queue_pending_rows", "gauge",
           "Rows of mail_spooler this instance holds back for a while (back-off after a temporary refusal or a deferral).");
    Sample(out, "tesselcom_queue_pending_rows", pendingRows_);
    Family(out, "tesselcom_messages_total", "counter",
           "Messages (one per recipient) attempted since the process started, by what became of them.");
    const std::pair<const char*, std::uint64_t> results[] = {
        {"delivered", messages_.Delivered}, {"refused", messages_.Refused},
        {"pending", messages_.Pending},     {"deferred", messages_.Deferred},
        {"unconfirmed", messages_.Unconfirmed}, {"given_up", messages_.GivenUp}};
    for (const auto& [result, count] : results) {
        Sample(out, std::string("tesselcom_messages_total{result=\"") + result + "\"}", count);
    }
    Family(out, "tesselcom_alarms_dispatched_total", "counter",
           "Alarms turned into queued messages since the process started.");
    Sample(out, "tesselcom_alarms_dispatched_total", alarmsDispatched_);
    return out;
}

void MetricsFile::SetPath(std::string path) {
    path_ = std::move(path);
    directory_.Reset();
    lastFailure_.clear();
    if (path_.empty()) return;
    auto slash = path_.rfind('/');
    name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    try {
        directory_ = OpenTrustedDirectory(slash == std::string::npos ? "." : path_.substr(0, slash + 1));
    } catch (const std::exception& e) {
        lastFailure_ = e.what();
        WriteWarning(kServiceSource, "Metrics not written: " + lastFailure_);
    }
}

void MetricsFile::Write() noexcept {
    if (path_.empty() || !directory_) return;
    try {
        ReplaceFileAt(directory_.Get(), name_, metrics_.Render(), kMetricsFileMode, path_);
        lastFailure_.clear();
    } catch (const std::exception& e) {
        // Once per cause: a path that stays wrong must not write a record every cycle.
        if (lastFailure_ != e.what()) {
            lastFailure_ = e.what();
            WriteWarning(kServiceSource, "Metrics not written: " + lastFailure_);
        }
    }
}

std::string MetricsPathFromConfig(const std::string& configPath) {
    std::string path = config::ReadIniValue(configPath, "METRICS", "File");
    if (path.empty() || path.front() == '/') return path;
    auto slash = configPath.rfind('/');
    return slash == std::string::npos ? path : configPath.substr(0, slash + 1) + path;
}

}  // namespace tessel::service
