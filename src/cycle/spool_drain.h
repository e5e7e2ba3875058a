// Sending every queued message of mail_spooler and removing each row once it is processed.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cycle/retry_schedule.h"
#include "cycle/settings.h"
#include "cycle/work_right.h"
#include "db/database.h"
#include "mail/mail_sender.h"
#include "util/stop_signal.h"

namespace tessel::cycle {

enum class DrainOutcome {
    Drained,   // a fresh read found no row to send (rows in back-off wait for a later cycle)
    Deferred,  // the mail server (or the queue table) could not be used: the rest waits
    Stopped,   // a stop request ended the drain at a message boundary: the rest stays queued
};

// DrainCounts - what became of the messages (one per recipient) that a drain attempted.
struct DrainCounts {
    std::uint64_t Delivered = 0;
    std::uint64_t Refused = 0;      // refused for good by the server or the address parser
    std::uint64_t Deferred = 0;     // the message at which the drain deferred
    std::uint64_t Pending = 0;      // refused for now: kept in the row for a retry
    std::uint64_t Unconfirmed = 0;  // no reply to the end of the message: not retried
    std::uint64_t GivenUp = 0;      // pending recipients dropped after email.retry.hours
};

// Attempted - every message the drain tried, whatever became of it.
inline std::uint64_t Attempted(const DrainCounts& c) {
    return c.Delivered + c.Refused + c.Deferred + c.Pending + c.Unconfirmed + c.GivenUp;
}

// DrainCarry - what the drains of one process hand on to each other, and the pause request they
// heed (email.rate, email.rate.day and throttling replies).
struct DrainCarry {
    // After a throttling reply: the next drain begins with the rows after this one (and then the
    // rest), so that a recipient that draws such a reply every time cannot hold back the others.
    std::optional<std::int32_t> ResumeAfter;
    // When the last message left, on the monotonic clock: email.rate spaces the next one from it.
    std::optional<std::chrono::steady_clock::time_point> LastMessage;
    // The warning that email.rate.day was reached is written; cleared once mail goes again.
    bool DailyLimitNoted = false;
    // A raised pause ends the drain at a message boundary (or a wait for email.rate) like a stop,
    // but never cuts a message short.
    const StopSignal* Pause = nullptr;
};

struct DrainResult {
    DrainOutcome Outcome = DrainOutcome::Drained;
    DrainCounts Counts;
    db::TableEngine QueueEngine;  // mail_spooler's, as the drain found it
    bool MailLog = false;         // the delivery log mail_log exists, and the drain wrote to it
};

// DrainSpool - reads the queue in ascending ID, a page of at most 1,000 rows at a time, in passes
// from the lowest ID until a pass finds no row to send; a row in back-off (retry) is left for later,
// and a row is tried at most once per drain. Per row: one write that changes nothing tells whether
// the row can be written (nothing of a row that is locked, or of a queue that cannot be changed, is
// sent), rebuilds the attachments under attachmentRoot (a row with attachments stays queued, with one
// warning record for the drain, when that directory is not safe to use: see AttachmentDirectory),
// calls SendEmail once per recipient (";"-separated Destinatario) and, after each recipient whose
// address leaves the row, commits the row's progress at once (Destinatario rewritten to who remains,
// or the row deleted); no transaction stays open while the mail server is waited on. Then deletes
// the attachment files and writes the row's last state (recipients kept for later moved to the end)
// and puts it in back-off when recipients remain. Before each write a session idle for a while is
// checked; a lost one is re-established and the instance's right confirmed again (right: the work
// lock of the session when none is given), and when another instance has it the drain ends
// (Deferred) without writing. A right that asks for it (the lease) is confirmed by every write (on
// one server in the write's own statement, on a cluster node in its transaction), and looked at
// before every message: once it is lost the drain ends at the next
// message boundary without changing the queue. When the table mail_log exists, each
// recipient's outcome (delivered, pending, refused, given up, unconfirmed) is logged in the same
// transaction as the row's write that follows it. What a failed delivery means is
// DecideDelivery's; a throttling reply ends the drain (Deferred) with no back-off. With email.rate
// the messages leave at least 60/N seconds apart (also from one drain to the next, through carry);
// with email.rate.day a message that would take the recipients of the last 24 hours (counted in
// retry) over the limit is not sent: the drain ends (Deferred), the warning written once until mail
// goes again. A raised stop ends the drain before the next message, or cuts the one in
// progress short before its final "."; the row in progress keeps the recipients not yet served
// (without a back-off) and the later rows stay. However it ends, the sender is told that the drain
// is over (EndSession). Throws DatabaseError / StatementError (for a connection that cannot be
// re-established, not for a row's refused values), AttachmentError and whatever SendEmail throws;
// the row in progress then holds the recipients not yet served.
DrainResult DrainSpool(db::Database& db, mail::MailSender& sender, const SmtpSettings& smtp,
                       const std::string& attachmentRoot, RetrySchedule& retry,
                       const StopSignal* stop = nullptr, DrainCarry* carry = nullptr,
                       WorkRight* right = nullptr);

}  // namespace tessel::cycle
