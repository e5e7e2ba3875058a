#include "cycle/work_cycle.h"

#include <exception>

#include "cycle/alarm_dispatch.h"
#include "cycle/attachment_leftovers.h"
#include "cycle/mail_log.h"
#include "cycle/record_kinds.h"
#include "cycle/settings.h"
#include "cycle/spool_drain.h"
#include "db/database_error.h"
#include "util/event_log.h"

namespace tessel::cycle {

WorkCycle::WorkCycle(db::Database& db, mail::MailSender& sender, std::string attachmentRoot,
                     LocalClock clock, RetryClock retryClock)
    : db_(db),
      sender_(sender),
      attachmentRoot_(std::move(attachmentRoot)),
      clock_(std::move(clock)),
      retry_(std::move(retryClock)),
      watch_(db_, clock_) {}

WorkCycle::~WorkCycle() {
    // The session itself is the owner's; the lock it holds for this cycle object is not.
    instance_.LetGo(db_);
}

void WorkCycle::KeepRetryStateIn(std::string path) {
    retryFile_.emplace(std::move(path));
    retryFile_->Load(retry_);
    retry_.OnChange([this] { retryFile_->Save(retry_); });
}

namespace {

// EndOfCycle - tells the instance that its cycle is over, however the cycle ends.
class EndOfCycle {
public:
    explicit EndOfCycle(ActiveInstance& instance) : instance_(instance) {}
    ~EndOfCycle() { instance_.CycleEnded(); }
    EndOfCycle(const EndOfCycle&) = delete;
    EndOfCycle& operator=(const EndOfCycle&) = delete;

private:
    ActiveInstance& instance_;
};

}  // namespace

CycleOutcome WorkCycle::RunCycle() {
    EndOfCycle endOfCycle(instance_);
    report_ = {};
    watchInterval_.reset();
    // The session kept from the last cycle holds the lock; a lost one (server restart, killed
    // session) is opened anew and must win the lock again.
    if (db_.IsConnected() && !db_.Cn().Ping()) db_.Disconnect();
    try {
        db_.Connect();
    } catch (const std::exception& e) {
        // The next cycle tries again; an unreachable database is not an error of the service.
        lastConnectError_ = e.what();
        return report_.Outcome = CycleOutcome::NotConnected;
    }
    lastConnectError_.clear();
    lastDrain_ = {};

    CycleSettings settings = ReadSmtpSettings(db_);
    NoteWatchSetting(settings);
    if (settings.Hold) return EndBeforeWork(CycleOutcome::Held);
    ClaimResult claim = instance_.Claim(db_, std::chrono::seconds(settings.LeaseSeconds));
    report_.Holder = claim.Holder;
    if (!claim.Active) {
        ChangeRole(Role::Standby, claim);
        return EndBeforeWork(CycleOutcome::Standby);
    }
    ChangeRole(Role::Active, claim);
    // What is queued from here on is the next cycle's: the watch compares with this.
    bool watching = settings.Watch.has_value();
    try {
        if (watching) watch_.Mark();
    } catch (const db::DatabaseError&) {
        // The cycle's own statements meet the fault next; the watch waits for a later cycle.
        watching = false;
    }
    // Files of a process that was killed while it sent them would otherwise stay for ever.
    RemoveLeftoverAttachments(attachmentRoot_);
    report_.AlarmsDispatched = DispatchAlarms(db_, settings.Smtp.SenderAddress, clock_,
                                               settings.AlarmCatchupMinutes, &instance_);
    if (!settings.Problems.empty()) {
        // Nothing is sent with settings that cannot work; the queue waits as after a deferral.
        for (const smtp::SettingProblem& problem : settings.Problems) {
            WriteEventLog(kServiceSource, "The setting " + problem.Key + " cannot be used: " + problem.What +
                                              "; no mail is sent until it is corrected");
        }
        lastDrain_.Outcome = DrainOutcome::Deferred;
        CountQueue();
        report_.HoldsLock = instance_.StillHeld();
        return report_.Outcome = CycleOutcome::Completed;
    }
    // A deferred drain is a completed cycle: the next one tries the rest of the queue.
    lastDrain_ = DrainSpool(db_, sender_, settings.Smtp, attachmentRoot_, retry_, stop_, &carry_, &instance_);
    report_.Drain = lastDrain_.Counts;
    NoteQueueEngine(lastDrain_.QueueEngine);
    if (lastDrain_.MailLog && settings.LogDays > 0) CleanUpLog(settings.LogDays);
    if (report_.AlarmsDispatched > 0 || Attempted(report_.Drain) > 0) {
        WriteRecord({Severity::Information, kServiceSource, CycleSummaryText(report_),
                     MessageIdOf(RecordKind::CycleSummary)});
    }
    CountQueue();
    // The session stays open with the lock: a standby must not slip in between two cycles.
    report_.HoldsLock = instance_.StillHeld();
    // After a deferral (the server throttles, the daily limit, a server that cannot be used) new
    // mail would not go any sooner: the next cycle keeps its turn.
    if (watching && lastDrain_.Outcome == DrainOutcome::Drained) watchInterval_ = settings.Watch;
    return report_.Outcome = CycleOutcome::Completed;
}

std::optional<std::chrono::milliseconds> WorkCycle::WatchInterval() const {
    return db_.IsConnected() ? watchInterval_ : std::nullopt;
}

bool WorkCycle::WorkWaiting() noexcept {
    if (!WatchInterval()) return false;
    try {
        return watch_.WorkWaiting();
    } catch (const std::exception&) {
        // The next cycle opens the session again if it was lost; until then nobody looks.
        watchInterval_.reset();
        return false;
    }
}

void WorkCycle::NoteWatchSetting(const CycleSettings& settings) {
    if (settings.WatchProblem == watchProblemNoted_) return;
    watchProblemNoted_ = settings.WatchProblem;
    if (!settings.WatchProblem.empty()) WriteWarning(kServiceSource, "The setting cycle.watch cannot be used: " + settings.WatchProblem +
                                     "; cycles keep their own rhythm");
}

CycleOutcome WorkCycle::EndBeforeWork(CycleOutcome outcome) {
    CountQueue();
    instance_.LetGo(db_);
    db_.Disconnect();
    return report_.Outcome = outcome;
}

void WorkCycle::ChangeRole(Role role, const ClaimResult& claim) {
    // With the lease a takeover is a change too, even when this instance noticed no standby between.
    std::uint64_t epoch = claim.Holder ? claim.Holder->Epoch : 0;
    if (role == role_ && (role != Role::Active || epoch == roleEpoch_)) return;
    role_ = role;
    roleEpoch_ = epoch;
    if (role == Role::Active) {
        WriteRecord({Severity::Information, kServiceSource,
                     "This instance is active: it holds " + instance_.Name() + HolderText(claim.Holder) +
                         " and does the work",
                     MessageIdOf(RecordKind::BecameActive)});
        return;
    }
    std::string holder = instance_.Mode() == Election::Lease && claim.Holder
                             ? claim.Holder->Host + " (process " + claim.Holder->ProcessId + ")"
                             : "another instance";
    WriteRecord({Severity::Information, kServiceSource,
                 "This instance is on standby: " + holder + " holds " + instance_.Name() + HolderText(claim.Holder) +
                     "; no alarm is dispatched and no mail sent here until it is free",
                 MessageIdOf(RecordKind::BecameStandby)});
}

std::string HolderText(const std::optional<db::LeaseHolder>& holder) {
    if (!holder) return "";
    return " (epoch " + std::to_string(holder->Epoch) + ", until " + holder->Expiry + " UTC)";
}

void WorkCycle::NoteQueueEngine(const db::TableEngine& engine) {
    if (engine.Transactional) {
        queueWithoutTransactionsNoted_ = false;
        return;
    }
    if (queueWithoutTransactionsNoted_) return;
    queueWithoutTransactionsNoted_ = true;
    WriteWarning(kServiceSource,
                 "mail_spooler has no transactions (engine " + engine.Name +
                     "): each queued row is removed only after its messages were sent, so a message "
                     "cut short by a crash goes out again; ALTER TABLE mail_spooler ENGINE=InnoDB "
                     "gives it transactions");
}

void WorkCycle::CleanUpLog(std::int32_t days) {
    constexpr std::chrono::hours kLogCleanupInterval{24};
    auto now = std::chrono::steady_clock::now();
    if (nextLogCleanup_ && now < *nextLogCleanup_) return;
    try {
        if (CleanUpMailLog(db_, days)) nextLogCleanup_ = now + kLogCleanupInterval;
    } catch (const db::DatabaseError& e) {
        if (db::IsConnectionError(e.Number())) throw;
        nextLogCleanup_ = now + kLogCleanupInterval;
        WriteWarning(kServiceSource, std::string("The old rows of the delivery log mail_log cannot be removed: ") +
                                         e.what() + "; the next try is in a day");
    }
}

void WorkCycle::CountQueue() {
    if (!countQueue_) return;
    db::ResultHandle result = db_.Cn().Query("SELECT COUNT(*) FROM mail_spooler");
    MYSQL_ROW row = ::mysql_fetch_row(result.get());
    if (row != nullptr && row[0] != nullptr) report_.QueueRows = std::stoull(row[0]);
    report_.PendingRows = retry_.WaitingCount();
}

std::string CycleSummaryText(const CycleReport& report) {
    const DrainCounts& c = report.Drain;
    std::string text = "Cycle done: " + std::to_string(report.AlarmsDispatched) +
                       " alarms dispatched, " + std::to_string(c.Delivered) + " delivered, " +
                       std::to_string(c.Refused) + " refused, " + std::to_string(c.Pending) +
                       " pending, " + std::to_string(c.Deferred) + " deferred";
    if (c.Unconfirmed > 0) text += ", " + std::to_string(c.Unconfirmed) + " unconfirmed";
    if (c.GivenUp > 0) text += ", " + std::to_string(c.GivenUp) + " given up";
    return text;
}

}  // namespace tessel::cycle
