// One pass of the service's work: connect, read the settings, dispatch the alarms due now, drain
// the mail queue, disconnect.
#pragma once

#include <string>

#include "cycle/local_clock.h"
#include "cycle/retry_schedule.h"
#include "cycle/spool_drain.h"
#include "db/database.h"
#include "mail/mail_sender.h"
#include "util/stop_signal.h"

namespace tessel::cycle {

enum class CycleOutcome {
    Completed,     // alarms dispatched, queue drained (or the drain deferred), disconnected
    Held,          // the hold switch (email.outlook = 1) stopped the cycle after the settings
    NotConnected,  // the database could not be reached; nothing else ran
};

class WorkCycle {
public:
    // attachmentRoot - the directory for rebuilt attachments, with its trailing slash.
    // The references must outlive the cycle object. retryClock times the back-off of the rows
    // that could not be finished, which lasts from cycle to cycle for the object's life.
    WorkCycle(db::Database& db, mail::MailSender& sender, std::string attachmentRoot,
              LocalClock clock = SystemLocalClock(), RetryClock retryClock = SteadyRetryClock());

    // RunCycle - one pass. A failed connect is absorbed (NotConnected; the reason is kept in
    // LastConnectError). Every later error propagates: ConversionError for a bad email.ssl,
    // DatabaseError / StatementError from a statement, tessel::Error for an attachment file that
    // cannot be written. The connection is then left as it is.
    CycleOutcome RunCycle();

    // WatchStop - from now on a raised stop ends the drain at the next message boundary.
    void WatchStop(const StopSignal& stop) { stop_ = &stop; }

    // LastConnectError - the text of the last absorbed connect failure (empty after a connect).
    const std::string& LastConnectError() const { return lastConnectError_; }

    // LastDrain - what the drain of the last completed cycle did (empty before the first one).
    const DrainResult& LastDrain() const { return lastDrain_; }

    // Retry - the rows in back-off and their first temporary refusals.
    const RetrySchedule& Retry() const { return retry_; }

private:
    db::Database& db_;
    mail::MailSender& sender_;
    std::string attachmentRoot_;
    LocalClock clock_;
    RetrySchedule retry_;
    std::string lastConnectError_;
    DrainResult lastDrain_;
    const StopSignal* stop_ = nullptr;
};

}  // namespace tessel::cycle
