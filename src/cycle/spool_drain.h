// Sending every queued message of mail_spooler and removing each row once it is processed.
#pragma once

#include <cstdint>
#include <string>

#include "cycle/settings.h"
#include "db/database.h"
#include "mail/mail_sender.h"
#include "util/stop_signal.h"

namespace tessel::cycle {

enum class DrainOutcome {
    Drained,   // a fresh read found the queue empty
    Deferred,  // the mail server could not be used: the rest of the queue waits for the next cycle
    Stopped,   // a stop request ended the drain at a message boundary: the rest stays queued
};

// DrainCounts - what became of the messages (one per recipient) that a drain attempted.
struct DrainCounts {
    std::uint64_t Delivered = 0;
    std::uint64_t Refused = 0;   // refused by the server or by the address parser: not sent
    std::uint64_t Deferred = 0;  // the message at which the drain deferred
};

struct DrainResult {
    DrainOutcome Outcome = DrainOutcome::Drained;
    DrainCounts Counts;
};

// DrainSpool - reads the queue in ascending ID, in passes until a read finds it empty. Per row:
// rebuilds the attachments under attachmentRoot, calls SendEmail once per recipient (";"-separated
// Destinatario), deletes the attachment files, then deletes that row alone. What a failed delivery
// means is DecideDelivery's: a warning and go on, or defer (the row and all later rows stay). A
// raised stop ends the drain before the next message, or cuts the one in progress short before
// its final "." (the row and all later rows stay).
// Throws DatabaseError / StatementError, AttachmentError, whatever SendEmail throws, and
// tessel::Error when a processed row survives its deletion (it would be sent again and again).
DrainResult DrainSpool(db::Database& db, mail::MailSender& sender, const SmtpSettings& smtp,
                       const std::string& attachmentRoot, const StopSignal* stop = nullptr);

}  // namespace tessel::cycle
