// The kinds of records the service writes, and the facts of the mail queue that its records carry
// as journal fields (the queued row, the recipient, the mail server's reply).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/event_log.h"

namespace tessel {

// RecordKind - what a record reports. Every kind but General has a fixed journal MESSAGE_ID, so an
// operator can find all records of one kind (journalctl MESSAGE_ID=...) whatever their text.
enum class RecordKind {
    General,
    Refused,            // a message the server or the address parser refused: not sent
    Pending,            // a recipient refused for now: tried again later
    Deferred,           // the mail server could not be used: the queue waits
    GivenUp,            // pending recipients given up after the retry period
    Unconfirmed,        // the connection ended after the message text: it may have arrived
    AttachmentSkipped,  // an attachment that could not be rebuilt was left out
    FailedOnStart,      // "Service failed on start: ..."
    FailedOnExecute,    // "Service failed on execute: ..."
    BecameActive,       // this instance took the work lock
    BecameStandby,      // another instance holds the work lock
    CycleSummary,       // what one cycle did
};

// The journal fields of the queue's facts.
inline constexpr std::string_view kRowIdField = "TESSEL_ROW_ID";
inline constexpr std::string_view kRecipientField = "TESSEL_RECIPIENT";
inline constexpr std::string_view kSmtpReplyField = "SMTP_REPLY";

// MessageIdOf - the journal MESSAGE_ID of a kind (32 hex digits); empty for General.
std::string_view MessageIdOf(RecordKind kind);

// ScopedRowContext - while it lives, records written on this thread that name no row (or no
// recipient) are about this one. Contexts nest; an inner one keeps what it does not set.
class ScopedRowContext {
public:
    explicit ScopedRowContext(std::optional<std::int64_t> rowId, std::optional<std::string> recipient = std::nullopt);

private:
    ScopedRecordFields fields_;
};

}  // namespace tessel
