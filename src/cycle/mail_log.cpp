#include "cycle/mail_log.h"

#include <cctype>

#include "db/database_error.h"

namespace tessel::cycle {
namespace {

constexpr std::size_t kCodeDigits = 3;

bool IsDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// IsEnhancedStatus - class.subject.detail: a digit, then two groups of one to three digits.
bool IsEnhancedStatus(std::string_view word) {
    std::size_t first = word.find('.');
    std::size_t second = first == word.npos ? word.npos : word.find('.', first + 1);
    if (second == word.npos) return false;
    std::string_view klass = word.substr(0, first);
    std::string_view subject = word.substr(first + 1, second - first - 1);
    std::string_view detail = word.substr(second + 1);
    return klass.size() == 1 && IsDigits(klass) && IsDigits(subject) && subject.size() <= 3 && IsDigits(detail) &&
           detail.size() <= 3;
}

std::string_view NextWord(std::string_view text) { return text.substr(0, text.find(' ')); }

std::string_view AfterWord(std::string_view text, std::string_view word) {
    text.remove_prefix(word.size());
    if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    return text;
}

}  // namespace

std::string_view OutcomeName(LogOutcome outcome) {
    switch (outcome) {
        case LogOutcome::Delivered: return "delivered";
        case LogOutcome::Pending: return "pending";
        case LogOutcome::Refused: return "refused";
        case LogOutcome::GivenUp: return "given up";
        case LogOutcome::Unconfirmed: return "unconfirmed";
    }
    return "";
}

ReplyParts SplitReply(std::string_view described) {
    ReplyParts parts;
    std::string_view rest = described;
    std::string_view code = NextWord(rest);
    if (code.size() == kCodeDigits && IsDigits(code)) {
        parts.Code = std::stoi(std::string(code));
        rest = AfterWord(rest, code);
        if (std::string_view status = NextWord(rest); IsEnhancedStatus(status)) {
            parts.EnhancedStatus = std::string(status);
            rest = AfterWord(rest, status);
        }
    }
    parts.Text = std::string(rest.substr(0, kLogTextBytes));
    return parts;
}

bool MailLogExists(db::Database& db) {
    db::ResultHandle result = db.Cn().Query(
        "SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'mail_log'");
    MYSQL_ROW row = ::mysql_fetch_row(result.get());
    return row != nullptr && row[0] != nullptr && std::string_view(row[0]) != "0";
}

void WriteLogEntries(db::Database& db, std::int32_t rowId, const std::vector<LogEntry>& entries) {
    db::Statement& q = db.InsertMailLog();
    try {
        for (const LogEntry& entry : entries) {
            ReplyParts reply = SplitReply(entry.Reply);
            q.SetInteger("spooler_id", rowId);
            q.SetString("recipient", entry.Recipient.substr(0, db::kLogRecipientBytes));
            q.SetString("message_id", entry.MessageId.substr(0, db::kLogRecipientBytes));
            q.SetString("outcome", std::string(OutcomeName(entry.Outcome)));
            q.SetInteger("code", reply.Code);
            q.SetString("enhanced", reply.EnhancedStatus);
            q.SetString("text", reply.Text);
            q.Execute();
        }
    } catch (const db::DatabaseError& e) {
        if (db::IsConnectionError(e.Number())) throw;
        throw MailLogError(e.what());
    }
}

bool CleanUpMailLog(db::Database& db, std::int32_t days) {
    db::Statement& q = db.DeleteOldMailLog();
    q.SetInteger("days", days);
    for (int batch = 0; batch < kLogCleanupBatchesPerCycle; ++batch) {
        if (q.Execute() < static_cast<std::uint64_t>(kLogCleanupBatch)) return true;
    }
    return false;
}

}  // namespace tessel::cycle
