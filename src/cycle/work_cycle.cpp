#include "cycle/work_cycle.h"

#include <exception>

#include "cycle/settings.h"

namespace tessel::cycle {

WorkCycle::WorkCycle(db::Database& db, mail::MailSender& sender, std::string attachmentRoot,
                     LocalClock clock)
    : db_(db), sender_(sender), attachmentRoot_(std::move(attachmentRoot)), clock_(std::move(clock)) {}

CycleOutcome WorkCycle::RunCycle() {
    try {
        db_.Connect();
    } catch (const std::exception& e) {
        // The next cycle tries again; an unreachable database is not an error of the service.
        lastConnectError_ = e.what();
        return CycleOutcome::NotConnected;
    }
    lastConnectError_.clear();

    CycleSettings settings = ReadSmtpSettings(db_);
    if (settings.Hold) {
        db_.Disconnect();
        return CycleOutcome::Held;
    }
    db_.Disconnect();
    return CycleOutcome::Completed;
}

}  // namespace tessel::cycle
