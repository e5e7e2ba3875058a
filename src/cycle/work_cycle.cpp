#include "cycle/work_cycle.h"

#include <exception>

#include "cycle/alarm_dispatch.h"
#include "cycle/attachment_leftovers.h"
#include "cycle/settings.h"
#include "cycle/spool_drain.h"

namespace tessel::cycle {

WorkCycle::WorkCycle(db::Database& db, mail::MailSender& sender, std::string attachmentRoot,
                     LocalClock clock, RetryClock retryClock)
    : db_(db),
      sender_(sender),
      attachmentRoot_(std::move(attachmentRoot)),
      clock_(std::move(clock)),
      retry_(std::move(retryClock)) {}

CycleOutcome WorkCycle::RunCycle() {
    try {
        db_.Connect();
    } catch (const std::exception& e) {
        // The next cycle tries again; an unreachable database is not an error of the service.
        lastConnectError_ = e.what();
        return CycleOutcome::NotConnected;
    }
    lastConnectError_.clear();
    lastDrain_ = {};

    CycleSettings settings = ReadSmtpSettings(db_);
    if (settings.Hold) {
        db_.Disconnect();
        return CycleOutcome::Held;
    }
    // Files of a process that was killed while it sent them would otherwise stay for ever.
    RemoveLeftoverAttachments(attachmentRoot_);
    DispatchAlarms(db_, settings.Smtp.SenderAddress, clock_, settings.AlarmCatchupMinutes);
    // A deferred drain is a completed cycle: the next one tries the rest of the queue.
    lastDrain_ = DrainSpool(db_, sender_, settings.Smtp, attachmentRoot_, retry_, stop_);
    db_.Disconnect();
    return CycleOutcome::Completed;
}

}  // namespace tessel::cycle
