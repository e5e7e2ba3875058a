// The optional delivery log, the table mail_log: one row per outcome of a queued message for one
// recipient, written with the change of the queued row it explains.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/database.h"
#include "util/error.h"

namespace tessel::cycle {

// kDefaultLogDays - log rows older than this many days are removed (log.days; 0 keeps them).
inline constexpr std::int32_t kDefaultLogDays = 30;
// kLogCleanupBatch - the most log rows one DELETE removes, so that no statement holds the table long.
inline constexpr int kLogCleanupBatch = db::kLogCleanupRows;
// kLogCleanupBatchesPerCycle - the clean-up of a cycle ends after this many full batches and goes on
// in the next cycle.
inline constexpr int kLogCleanupBatchesPerCycle = 20;
// kLogTextBytes - the reply text kept in a log row.
inline constexpr std::size_t kLogTextBytes = 512;

enum class LogOutcome { Delivered, Pending, Refused, GivenUp, Unconfirmed };

// OutcomeName - as the Outcome column holds it: "delivered", "pending", "refused", "given up",
// "unconfirmed".
std::string_view OutcomeName(LogOutcome outcome);

// LogEntry - one recipient's outcome, waiting to be written with the row's next change.
struct LogEntry {
    std::string Recipient;
    std::string MessageId;
    LogOutcome Outcome = LogOutcome::Delivered;
    std::string Reply;  // the server's reply, described ("451 4.7.1 text"), or the reason without one
};

// ReplyParts - a described reply taken apart for the log's columns.
struct ReplyParts {
    int Code = 0;  // 0: the text is no reply (a reason of our own)
    std::string EnhancedStatus;
    std::string Text;  // at most kLogTextBytes bytes
};

// SplitReply - described as its code, enhanced status and text: a code only when the text begins
// with three digits and a blank (or ends there), an enhanced status only when the next word is
// one (class.subject.detail).
ReplyParts SplitReply(std::string_view described);

// MailLogError - a log row could not be written for a reason of its own (not a lost connection).
class MailLogError : public Error {
public:
    using Error::Error;
};

// MailLogExists - the table mail_log exists in the database. Throws DatabaseError.
bool MailLogExists(db::Database& db);

// WriteLogEntries - one log row per entry for queued row rowId, in the session's open transaction.
// Throws DatabaseError for a lost connection, MailLogError for any other refusal.
void WriteLogEntries(db::Database& db, std::int32_t rowId, const std::vector<LogEntry>& entries);

// CleanUpMailLog - removes log rows older than days, kLogCleanupBatch at a time, at most
// kLogCleanupBatchesPerCycle batches; true when no old row is left. Throws DatabaseError.
bool CleanUpMailLog(db::Database& db, std::int32_t days);

}  // namespace tessel::cycle
