// One pass of the service's work: connect, read the settings, take the work lock, dispatch the
// alarms due now, drain the mail queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cycle/local_clock.h"
#include "cycle/retry_schedule.h"
#include "cycle/retry_state_file.h"
#include "cycle/spool_drain.h"
#include "cycle/work_watch.h"
#include "cycle/work_right.h"
#include "db/database.h"
#include "mail/mail_sender.h"
#include "util/stop_signal.h"

namespace tessel::cycle {

enum class CycleOutcome {
    Completed,     // alarms dispatched, queue drained (or the drain deferred)
    Held,          // the hold switch (email.outlook = 1) stopped the cycle after the settings
    Standby,       // another instance holds the work lock: the cycle stopped after the settings
    NotConnected,  // the database could not be reached; nothing else ran
};

// Role - whether this instance works or waits for another one to go.
enum class Role { Unknown, Active, Standby };

// CycleReport - what the last cycle found and did (for the metrics).
struct CycleReport {
    CycleOutcome Outcome = CycleOutcome::NotConnected;
    bool HoldsLock = false;                  // the instance still holds the lease (or the work lock)
    std::optional<db::LeaseHolder> Holder;   // the lease's holder as the cycle's claim found it
    std::optional<std::uint64_t> QueueRows;  // rows of mail_spooler after the cycle, when counted
    std::uint64_t PendingRows = 0;           // rows in back-off after the cycle (when counted)
    std::uint64_t AlarmsDispatched = 0;
    DrainCounts Drain;
};

class WorkCycle {
public:
    // attachmentRoot - the directory for rebuilt attachments, with its trailing slash.
    // The references must outlive the cycle object. retryClock times the back-off of the rows
    // that could not be finished, which lasts from cycle to cycle for the object's life.
    WorkCycle(db::Database& db, mail::MailSender& sender, std::string attachmentRoot,
              LocalClock clock = SystemLocalClock(), RetryClock retryClock = SteadyRetryClock());
    // Frees the work lock held by db's session (a standby takes over at once); the session stays.
    ~WorkCycle();
    // The retry schedule's observer refers to this object: it stays where it was made.
    WorkCycle(const WorkCycle&) = delete;
    WorkCycle& operator=(const WorkCycle&) = delete;

    // RunCycle - one pass. A failed connect is absorbed (NotConnected; the reason is kept in
    // LastConnectError). Only the instance that holds the lease service.active (claimed or renewed
    // here; or, when the account may not write it, the work lock of the session) goes past the
    // settings; a completed cycle keeps its session open, so a lock stays with this instance until
    // the next cycle (a lost session is replaced at the next cycle), and a lease is renewed in
    // between. Every later error propagates:
    // ConversionError for a bad email.ssl, DatabaseError / StatementError from a statement,
    // tessel::Error for an attachment file that cannot be written. The connection is then left as
    // it is.
    CycleOutcome RunCycle();

    // WatchStop - from now on a raised stop ends the drain at the next message boundary.
    void WatchStop(const StopSignal& stop) { stop_ = &stop; }

    // WatchPause - from now on a raised pause ends the drain at the next message boundary (or wait
    // for email.rate), without cutting a message short.
    void WatchPause(const StopSignal& pause) { carry_.Pause = &pause; }

    // WatchInterval - how often to look for new work until the next cycle (cycle.watch): only after a
    // cycle that worked and drained the queue, on the session it keeps; nothing otherwise (held, on
    // standby, no database, settings that cannot be used, a deferred drain, or a look that failed:
    // the next cycle comes at its own rhythm).
    std::optional<std::chrono::milliseconds> WatchInterval() const;

    // WorkWaiting - one look (see WorkWatch): true when a cycle should start now. A database error
    // ends the looking until the next cycle. Never throws.
    bool WorkWaiting() noexcept;

    // KeepRetryStateIn - the retry state is read from the file at path now and written there after
    // each change, so that it outlives the process. Never throws (see RetryStateFile).
    void KeepRetryStateIn(std::string path);

    // ClearBackOffs - every row may be tried at once (see RetrySchedule::ClearBackOffs); the retry
    // state file is rewritten. Never throws (but std::bad_alloc).
    void ClearBackOffs() { retry_.ClearBackOffs(); }

    // NameInstance - the host and process id this instance shows in the lease (by default this
    // machine's name and the process's id); only before the first cycle.
    void NameInstance(const std::string& host, std::string processId) { instance_.SetName(host, std::move(processId)); }

    // SetCountQueue - whether each cycle that reached the database counts the queue's rows.
    void SetCountQueue(bool count) { countQueue_ = count; }

    // LastConnectError - the text of the last absorbed connect failure (empty after a connect).
    const std::string& LastConnectError() const { return lastConnectError_; }

    // LastDrain - what the drain of the last completed cycle did (empty before the first one).
    const DrainResult& LastDrain() const { return lastDrain_; }

    // Retry - the rows in back-off and their first temporary refusals.
    const RetrySchedule& Retry() const { return retry_; }

    // LastReport - what the last cycle found and did.
    const CycleReport& LastReport() const { return report_; }

    // CurrentRole - active or standby, as the last cycle that tried the lock found.
    Role CurrentRole() const { return role_; }

private:
    // EndBeforeWork - a cycle that stops after the settings: counts the queue, closes the session
    // (freeing the lock) and keeps outcome.
    CycleOutcome EndBeforeWork(CycleOutcome outcome);
    // ChangeRole - one information record when the role changes (and at every takeover of the lease).
    void ChangeRole(Role role, const ClaimResult& claim);
    void CountQueue();
    // CleanUpLog - once a day (and on from cycle to cycle until done), the delivery log's rows older
    // than days go. A failure is a warning: the log never stops the work.
    void CleanUpLog(std::int32_t days);
    // NoteQueueEngine - one warning when the drain finds mail_spooler without transactions, and
    // another only after the table had them again.
    void NoteQueueEngine(const db::TableEngine& engine);

    // NoteWatchSetting - the warning about a cycle.watch that cannot be used, once per value.
    void NoteWatchSetting(const CycleSettings& settings);

    db::Database& db_;
    mail::MailSender& sender_;
    std::string attachmentRoot_;
    LocalClock clock_;
    RetrySchedule retry_;
    std::optional<RetryStateFile> retryFile_;
    std::string lastConnectError_;
    DrainResult lastDrain_;
    const StopSignal* stop_ = nullptr;
    CycleReport report_;
    Role role_ = Role::Unknown;
    std::uint64_t roleEpoch_ = 0;
    ActiveInstance instance_;
    bool countQueue_ = false;
    bool queueWithoutTransactionsNoted_ = false;
    std::optional<std::chrono::steady_clock::time_point> nextLogCleanup_;  // none: at the next cycle
    DrainCarry carry_;
    WorkWatch watch_;
    std::optional<std::chrono::milliseconds> watchInterval_;  // while the watch may look
    std::string watchProblemNoted_;
};

// HolderText - " (epoch N, until <expiry> UTC)" for a lease holder; empty without one.
std::string HolderText(const std::optional<db::LeaseHolder>& holder);

// CycleSummaryText - the information record of a cycle that did something.
std::string CycleSummaryText(const CycleReport& report);

}  // namespace tessel::cycle
