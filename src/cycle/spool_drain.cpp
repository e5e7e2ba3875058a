#include "cycle/spool_drain.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <set>
#include <vector>

#include "cycle/attachment.h"
#include "cycle/delivery_policy.h"
#include "cycle/mail_log.h"
#include "cycle/recipient_list.h"
#include "cycle/record_kinds.h"
#include "db/database_error.h"
#include "db/transaction.h"
#include "mime/address_parser.h"
#include "util/event_log.h"
#include "util/explode.h"
#include "util/parse_integer.h"
#include "util/record_text.h"

namespace tessel::cycle {
namespace {

constexpr const char* kListSeparator = ";";

// Below every ID: the first page of a pass starts here.
constexpr std::int32_t kBeforeFirstId = std::numeric_limits<std::int32_t>::min();

// SpoolRow - one queued row. The body is not copied: it is read in the page's result, which stays
// open while the row is processed; only a body too long for the page is read apart, into LongBody.
struct SpoolRow {
    std::int32_t Id = 0;
    std::string Sender, Recipients, Subject;
    std::string_view Body;
    std::string Attachments;
    std::string LongBody;
};

// ReadLongBody - the whole Texto of row id, read a piece at a time into one text.
std::string ReadLongBody(db::Database& db, std::int32_t id) {
    db::Statement& q = db.GetMailText();
    std::string body;
    q.SetInteger("id", id);
    q.SetInteger("count", db::kMailTextPiece);
    for (std::int32_t from = 1;; from += db::kMailTextPiece) {
        q.SetInteger("from", from);
        q.Open();
        if (from == 1) {
            // Room for the whole text at once: growing it piece by piece would hold two copies.
            body.reserve(static_cast<std::size_t>(std::max(0, ParseInteger(q.ReadText("Bytes"), 0))));
        }
        std::string_view piece = q.ReadView("Texto");
        body.append(piece);
        // Fewer bytes than the characters asked for: fewer characters too, so nothing follows (each
        // read makes the server load the whole value, so a read that would come back empty is spared).
        bool last = piece.size() < static_cast<std::size_t>(db::kMailTextPiece);
        q.Close();
        if (last || from > std::numeric_limits<std::int32_t>::max() - db::kMailTextPiece) break;
    }
    return body;
}

// ReadRow - the row the page stands on. The row must not be moved: Body may view LongBody.
void ReadRow(db::Database& db, const db::Statement& q, SpoolRow& row) {
    row.Id = q.ReadInteger("ID");
    row.Sender = q.ReadText("Remetente");
    row.Recipients = q.ReadText("Destinatario");
    row.Subject = q.ReadText("Assunto");
    row.Attachments = q.ReadText("Anexos");
    row.LongBody.clear();
    if (q.IsNull("Texto")) {
        row.LongBody = ReadLongBody(db, row.Id);
        row.Body = row.LongBody;
    } else {
        row.Body = q.ReadView("Texto");
    }
}

// A session that has been idle this long is pinged before the next write: the server may have ended
// it meanwhile (wait_timeout, a restart, a KILL), and the work lock went with it.
constexpr std::chrono::seconds kIdleSessionMargin{30};

// What one drain works with.
struct Drain {
    db::Database& Db;
    mail::MailSender& Sender;
    const SmtpSettings& Smtp;
    AttachmentDirectory& Attachments;
    RetrySchedule& Retry;
    DrainCounts& Counts;
    const StopSignal* Stop;
    DrainCarry& Carry;
    WorkRight& Right;
    // The settings the sessions use: email.reuse may be lowered for the rest of the drain.
    SmtpSettings Session;
    // When the drain last used the database: a write after a long send checks the session first.
    std::chrono::steady_clock::time_point LastDbUse = std::chrono::steady_clock::now();
    // Set once this instance lost its right to work (a lost session came back without the work
    // lock, the lease ran out or was taken): another instance may be working, so this one sends
    // and writes nothing more and ends the drain.
    bool LostRight = false;
    // The table mail_log exists: each outcome is logged with the row's next change.
    bool Log = false;
    // A row's change may confirm the lease in the same statement: on one server, whose locking
    // read of the lease row a takeover must wait for. A cluster node's read may not yet see a
    // takeover that another node committed; there the transaction that renews the lease makes the
    // change conflict with the takeover at certification.
    bool OneStatementFence = false;
};

bool StopRaised(const Drain& drain) {
    return (drain.Stop != nullptr && drain.Stop->Requested()) ||
           (drain.Carry.Pause != nullptr && drain.Carry.Pause->Requested());
}

// NoteLostRight - from now on the drain writes nothing; one warning says why.
void NoteLostRight(Drain& drain, const std::string& how) {
    if (drain.LostRight) return;
    drain.LostRight = true;
    WriteWarning(kServiceSource, how + ": this instance stops without changing the queue");
}

// RightHeld - at a message boundary: whether the instance may still send (false once the right
// is known to be lost, with the warning).
bool RightHeld(Drain& drain) {
    if (drain.LostRight) return false;
    if (drain.Right.StillHeld()) return true;
    NoteLostRight(drain, "This instance no longer holds " + drain.Right.Name() +
                             " (it was not renewed in time, or another instance took it)");
    return false;
}

enum class RowEnd {
    Done,         // processed, or left for later; go on with the next row
    Defer,        // the mail server cannot be used: the drain ends
    QueueLocked,  // the queue cannot (or may no longer) be changed by this instance: the drain ends
    Stop,         // a stop request: the drain ends
};

// EntryOutcome - what one attempted recipient entry met: its fate, and what of it stays in the row
// (empty: nothing).
struct EntryOutcome {
    RecipientFate Fate = RecipientFate::Delivered;
    std::string Remaining;
};

// RowAttempt - the row's recipients, the outcome of each one attempted so far (in order), and what
// the row holds in the queue now.
struct RowAttempt {
    std::vector<std::string> Recipients;
    std::vector<EntryOutcome> Outcomes;
    bool BackOff = true;   // the row goes into back-off when it stays queued
    std::string Stored;    // the row's Destinatario as last written
    bool Removed = false;  // the row is deleted
    std::vector<LogEntry> Unlogged;  // outcomes for mail_log that wait for the row's next write
};

bool StaysQueued(RecipientFate fate) {
    return fate == RecipientFate::Pending || fate == RecipientFate::Kept;
}

// RemainingRecipients - who the row must still serve: those not attempted (a stop or a deferral
// left them), then what stays of those kept or refused for now, in the row's order. The recipient at
// which the drain deferred thus goes last, so a recipient that always fails cannot hold back the others.
std::vector<std::string> RemainingRecipients(const RowAttempt& attempt) {
    std::vector<std::string> remaining(attempt.Recipients.begin() + static_cast<long>(attempt.Outcomes.size()),
                                       attempt.Recipients.end());
    for (const EntryOutcome& outcome : attempt.Outcomes) {
        if (!outcome.Remaining.empty()) remaining.push_back(outcome.Remaining);
    }
    return remaining;
}

void CountFate(DrainCounts& counts, RecipientFate fate) {
    switch (fate) {
        case RecipientFate::Delivered: ++counts.Delivered; break;
        case RecipientFate::Failed: ++counts.Refused; break;
        case RecipientFate::Unconfirmed: ++counts.Unconfirmed; break;
        case RecipientFate::Pending:
        case RecipientFate::Kept: ++counts.Pending; break;
        case RecipientFate::Untried: break;
    }
}

// Count - one message per recipient entry; an entry whose addresses fared differently counts once
// under each fate they met.
void Count(DrainCounts& counts, const DeliveryDecision& decision) {
    if (decision.Action == DeliveryAction::Stop) return;
    if (decision.Action == DeliveryAction::Defer && !decision.Split) {
        ++counts.Deferred;
        return;
    }
    if (!decision.Split) {
        CountFate(counts, decision.Fate);
        return;
    }
    std::set<RecipientFate> met;
    for (const AddressOutcome& address : decision.Addresses) {
        if (met.insert(address.Fate).second) CountFate(counts, address.Fate);
    }
}

// KindOf - the journal kind of a delivery's warning.
RecordKind KindOf(DeliveryAction action, RecipientFate fate) {
    if (action == DeliveryAction::Defer) return RecordKind::Deferred;
    switch (fate) {
        case RecipientFate::Pending: return RecordKind::Pending;
        case RecipientFate::Unconfirmed: return RecordKind::Unconfirmed;
        case RecipientFate::Kept: return RecordKind::Deferred;
        default: return RecordKind::Refused;
    }
}

void WriteDeliveryWarning(const std::string& text, RecordKind kind, const std::string& reply,
                          const std::optional<std::string>& recipient = std::nullopt) {
    EventRecord record{Severity::Warning, kServiceSource, text, MessageIdOf(kind)};
    if (!reply.empty()) record.Set(kSmtpReplyField, reply);
    if (recipient) record.Set(kRecipientField, *recipient);
    WriteRecord(std::move(record));
}

// WriteWarnings - the decision's warnings: one for the recipient, or one per address it split into.
void WriteWarnings(const smtp::DeliveryResult& result, const DeliveryDecision& decision) {
    if (!decision.Warning.empty()) {
        WriteDeliveryWarning(decision.Warning, KindOf(decision.Action, decision.Fate), result.Reply);
    }
    for (const AddressOutcome& address : decision.Addresses) {
        if (address.Warning.empty()) continue;
        WriteDeliveryWarning(address.Warning, KindOf(DeliveryAction::Continue, address.Fate), address.Reply,
                             address.Address);
    }
}

// OutcomeOf - what of entry the decision leaves, and the entry's fate for the give-up clock: an
// entry split into addresses keeps exactly those not served.
EntryOutcome OutcomeOf(const DeliveryDecision& decision, const std::string& entry) {
    if (!decision.Split) return {decision.Fate, StaysQueued(decision.Fate) ? entry : std::string()};
    EntryOutcome outcome{RecipientFate::Delivered, {}};
    for (const AddressOutcome& address : decision.Addresses) {
        if (!StaysQueued(address.Fate)) continue;
        if (!outcome.Remaining.empty()) outcome.Remaining += ", ";
        outcome.Remaining += address.Address;
        if (outcome.Fate != RecipientFate::Pending) outcome.Fate = address.Fate;
    }
    return outcome;
}

// LogOutcomeOf - how the delivery log names a fate; nothing for one that leaves no outcome yet
// (kept for a server that could not be used, or not tried).
std::optional<LogOutcome> LogOutcomeOf(RecipientFate fate) {
    switch (fate) {
        case RecipientFate::Delivered: return LogOutcome::Delivered;
        case RecipientFate::Failed: return LogOutcome::Refused;
        case RecipientFate::Unconfirmed: return LogOutcome::Unconfirmed;
        case RecipientFate::Pending: return LogOutcome::Pending;
        case RecipientFate::Kept:
        case RecipientFate::Untried: break;
    }
    return std::nullopt;
}

// NoteLogEntries - the outcomes of one attempt for the delivery log: one for the recipient, or one
// per address it split into. A delivered one carries the reply to the final ".".
void NoteLogEntries(const Drain& drain, RowAttempt& attempt, const std::string& recipient,
                    const smtp::DeliveryResult& result, const DeliveryDecision& decision) {
    if (!drain.Log) return;
    auto note = [&](const std::string& who, RecipientFate fate, const std::string& reply) {
        std::optional<LogOutcome> outcome = LogOutcomeOf(fate);
        if (!outcome) return;
        std::string text = fate == RecipientFate::Delivered ? result.FinalReply : reply;
        attempt.Unlogged.push_back({who, result.MessageId, *outcome, text.empty() ? result.Reason : text});
    };
    if (!decision.Split) {
        note(recipient, decision.Fate, result.Reply);
        return;
    }
    for (const AddressOutcome& address : decision.Addresses) note(address.Address, address.Fate, address.Reply);
}

// NoteGivenUp - recipient is given up: its pending outcome of this attempt, if not yet written,
// becomes the given-up one; otherwise one more log row says so.
void NoteGivenUp(const Drain& drain, RowAttempt& attempt, const std::string& recipient, const std::string& reply) {
    if (!drain.Log) return;
    for (LogEntry& entry : attempt.Unlogged) {
        if (entry.Outcome == LogOutcome::Pending && entry.Recipient == recipient) {
            entry.Outcome = LogOutcome::GivenUp;
            return;
        }
    }
    attempt.Unlogged.push_back({recipient, "", LogOutcome::GivenUp, reply});
}

std::string HoursAndMinutes(RetryTime from, RetryTime to) {
    auto total = std::chrono::duration_cast<std::chrono::minutes>(to - from).count();
    return std::to_string(total / 60) + " h " + std::to_string(total % 60) + " min";
}

// GiveUpExpired - once every recipient has been attempted and the row's first temporary refusal
// lies email.retry.hours back, its recipients refused for now are dropped (a warning for each) and
// its clock starts afresh. Recipients kept only because the server could not be used stay.
void GiveUpExpired(Drain& drain, std::int32_t rowId, RowAttempt& attempt) {
    if (drain.Smtp.RetryHours <= 0 || attempt.Outcomes.size() < attempt.Recipients.size()) return;
    std::optional<FirstRefusal> first = drain.Retry.Refusal(rowId);
    RetryTime now = drain.Retry.Now();
    if (!first || now - first->At < std::chrono::hours(drain.Smtp.RetryHours)) return;
    for (EntryOutcome& outcome : attempt.Outcomes) {
        if (outcome.Fate != RecipientFate::Pending) continue;
        // This attempt was counted as pending a moment ago: it ends as given up instead.
        --drain.Counts.Pending;
        ++drain.Counts.GivenUp;
        EventRecord record{Severity::Warning, kServiceSource,
                           "Given up on " + DescribeMessage(rowId, outcome.Remaining) +
                               ": still refused " + HoursAndMinutes(first->At, now) +
                               " after the first temporary refusal: " + first->Reply,
                           MessageIdOf(RecordKind::GivenUp)};
        record.Set(kRecipientField, outcome.Remaining);
        WriteRecord(std::move(record));
        // An entry split into addresses keeps them joined by ", ", and logged one by one.
        for (const std::string& address : Explode(", ", outcome.Remaining, 0)) {
            NoteGivenUp(drain, attempt, address, first->Reply);
        }
        outcome.Fate = RecipientFate::Failed;
        outcome.Remaining.clear();
    }
    drain.Retry.ForgetRefusal(rowId);
}

// SendOnce - one attempt of the message to recipient and what it means; a kept session that failed
// or reached the server's limit is replaced at once, and the message tried once more through it.
DeliveryDecision SendOnce(Drain& drain, const SpoolRow& row, const AttachmentFiles& files,
                          const std::string& recipient, smtp::DeliveryResult& result) {
    auto attempt = [&] {
        result = drain.Sender.SendEmail(row.Sender, recipient, row.Subject, row.Body, files.Paths(), drain.Session,
                                        row.Id);
        return DecideDelivery(result, row.Id, recipient, drain.Session);
    };
    DeliveryDecision decision = attempt();
    if (decision.Action != DeliveryAction::RetryNow) return decision;
    if (decision.SessionLimit > 0 && decision.SessionLimit < drain.Session.MessagesPerSession) {
        drain.Session.MessagesPerSession = decision.SessionLimit;
        WriteInformation(kServiceSource, "Mail server " + RecordText(drain.Smtp.Host) + " ended a session after " +
                                             std::to_string(decision.SessionLimit) +
                                             " messages: sessions carry at most that many for the rest of the cycle");
    }
    decision = attempt();
    if (decision.Action == DeliveryAction::RetryNow) {
        // A fresh session asks for no retry; should one still do, the server is not usable now.
        decision.Action = DeliveryAction::Defer;
        decision.Fate = RecipientFate::Kept;
    }
    return decision;
}

// ConfirmSession - makes sure the session can take the next write: pinged when it was idle for
// longer than kIdleSessionMargin, re-established when lost, and then the instance's right confirmed
// (the work lock taken again). False (with a warning, and LostRight set) when another instance has
// it now: nothing may be written. Throws DatabaseError when the server cannot be reached again.
bool ConfirmSession(Drain& drain, bool lost) {
    db::Connection& cn = drain.Db.Cn();
    if (!lost && std::chrono::steady_clock::now() - drain.LastDbUse < kIdleSessionMargin) return true;
    if (!lost && cn.Ping()) return true;
    // Only the connection is replaced: the page being read and the row's text stay in memory.
    cn.Disconnect();
    cn.Connect();
    drain.LastDbUse = std::chrono::steady_clock::now();
    if (drain.Right.Regain(cn)) {
        WriteRecord({Severity::Information, kServiceSource,
                     "The database session was lost and is re-established; " + drain.Right.Name() +
                         " is held again"});
        return true;
    }
    NoteLostRight(drain, "The database session was lost and another instance now holds " + drain.Right.Name());
    return false;
}

// WriteRowState - one statement: the row deleted (nullopt) or its Destinatario rewritten.
void WriteRowState(db::Database& db, std::int32_t rowId, const std::optional<std::string>& recipients) {
    db::Statement& q = recipients ? db.UpdateMailRecipients() : db.DeleteMail();
    if (recipients) q.SetString("destinatario", *recipients);
    q.SetInteger("id", rowId);
    q.Execute();
}

// WriteRowStateUnderLease - with a lease that this instance holds, WriteRowState in one statement
// that takes effect only while the lease still names this instance: no transaction, one round trip
// instead of four. False when it changed nothing: the row is gone, the lease is no longer this
// instance's, or another writer was in the way (a lock conflict); the transaction of WriteWithRight
// then does the write and tells which. Throws DatabaseError.
bool WriteRowStateUnderLease(Drain& drain, std::int32_t rowId, const std::optional<std::string>& recipients) {
    std::optional<db::LeaseHolder> held = drain.Right.HeldLease();
    if (!held) return false;
    db::Statement& q = recipients ? drain.Db.UpdateMailRecipientsUnderLease() : drain.Db.DeleteMailUnderLease();
    if (recipients) q.SetString("destinatario", *recipients);
    q.SetInteger("id", rowId);
    q.SetString("holder", db::LeaseHolderPrefix(*held));
    try {
        std::uint64_t changed = q.Execute();
        // A rewrite to the value the row holds already changes nothing, yet matched the row.
        if (recipients) changed = drain.Db.Cn().MatchedRows().value_or(changed);
        return changed > 0;
    } catch (const db::DatabaseError& e) {
        if (db::IsLockConflict(e.Number())) return false;
        throw;
    }
}

// WriteWithRight - write() at once when the right needs no confirmation and nothing asks for a
// transaction (together); otherwise in one short transaction that also confirms the right, after
// the write so that a wait for the queue row does not hold the lease: all takes effect together or
// not at all. False when the right is lost (nothing written). A transaction that loses a deadlock (or
// on a cluster fails certification) is made once more: if the right was taken meanwhile, the second
// confirmation tells. Throws DatabaseError (and what write throws).
template <typename Write>
bool WriteWithRight(Drain& drain, const Write& write, bool together = false) {
    if (!drain.Right.Fenced() && !together) {
        write();
        return true;
    }
    for (int attempt = 1;; ++attempt) {
        try {
            db::Transaction transaction(drain.Db.Cn());
            write();
            if (drain.Right.Fenced() && !drain.Right.ConfirmIn(drain.Db)) {
                NoteLostRight(drain, "Another instance took " + drain.Right.Name());
                return false;
            }
            transaction.Commit();
            return true;
        } catch (const db::DatabaseError& e) {
            if (attempt > 1 || !db::IsLockConflict(e.Number())) throw;
        }
    }
}

// WriteLoggedRowState - WriteRowState and the log rows of the outcomes that led to it, in one short
// transaction (with the confirmation of the instance's right, see WriteWithRight): the log never
// tells of a change the queue did not make. When only the log cannot be written, the row's state is
// written alone (with a warning): the log must not cost the queue its progress, or the message would
// go out again. A row's state alone goes, with a lease on one server, in one statement that confirms
// the lease (WriteRowStateUnderLease), and only when that changed nothing in the transaction that
// tells why. False when the right is lost (nothing written).
bool WriteLoggedRowState(Drain& drain, std::int32_t rowId, const std::optional<std::string>& recipients,
                         const std::vector<LogEntry>& log) {
    auto row = [&] { WriteRowState(drain.Db, rowId, recipients); };
    if (!log.empty()) {
        try {
            return WriteWithRight(drain, [&] {
                row();
                WriteLogEntries(drain.Db, rowId, log);
            }, true);
        } catch (const MailLogError& e) {
            WriteWarning(kServiceSource, "The delivery log mail_log cannot be written for queued mail " +
                                             std::to_string(rowId) + ": " + e.what() +
                                             "; the queue goes on without these log rows");
        }
    }
    if (drain.OneStatementFence && WriteRowStateUnderLease(drain, rowId, recipients)) return true;
    return WriteWithRight(drain, row);
}

// CommitRowState - makes the row's new state (deleted when recipients is nullopt, otherwise its
// Destinatario rewritten to recipients) take effect at once, on a session confirmed first (see
// ConfirmSession). Nothing waits on the mail server while it runs. A write cut off by a lost session
// is made once more on a new one: both writes set the same state. False when the instance may no
// longer write (nothing was written). Throws DatabaseError.
bool CommitRowState(Drain& drain, std::int32_t rowId, RowAttempt& attempt,
                    const std::optional<std::string>& recipients) {
    if (drain.LostRight || !ConfirmSession(drain, false)) return false;
    try {
        if (!WriteLoggedRowState(drain, rowId, recipients, attempt.Unlogged)) return false;
    } catch (const db::DatabaseError& e) {
        if (!db::IsConnectionError(e.Number()) || !ConfirmSession(drain, true)) {
            if (db::IsConnectionError(e.Number()) && drain.LostRight) return false;
            throw;
        }
        if (!WriteLoggedRowState(drain, rowId, recipients, attempt.Unlogged)) return false;
    }
    drain.LastDbUse = std::chrono::steady_clock::now();
    attempt.Unlogged.clear();
    attempt.Removed = !recipients;
    if (recipients) attempt.Stored = *recipients;
    return true;
}

// SaveProgress - after an entry of which some address left the row (delivered, refused for good or
// unconfirmed), the row is made to hold only who remains, so a fault later costs at most the message
// in flight. An entry kept whole for later changes nothing that must be saved now. False when the
// instance may no longer write.
bool SaveProgress(Drain& drain, std::int32_t rowId, RowAttempt& attempt) {
    if (attempt.Outcomes.back().Remaining == attempt.Recipients[attempt.Outcomes.size() - 1]) return true;
    std::vector<std::string> remaining = RemainingRecipients(attempt);
    if (remaining.empty()) return CommitRowState(drain, rowId, attempt, std::nullopt);
    return CommitRowState(drain, rowId, attempt, JoinRecipients(remaining));
}

// WaitForTurn - with email.rate, waits until the last message lies 60/N seconds back. False when a
// stop or a pause came first.
bool WaitForTurn(Drain& drain) {
    if (drain.Smtp.MessagesPerMinute <= 0 || !drain.Carry.LastMessage) return !StopRaised(drain);
    auto spacing = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::minutes(1)) /
                   drain.Smtp.MessagesPerMinute;
    return !WaitForSignals(*drain.Carry.LastMessage + spacing, {drain.Stop, drain.Carry.Pause});
}

enum class DailyRoom {
    Room,     // the recipient may go
    Full,     // the limit is reached: the drain ends
    TooMany,  // the recipient alone holds more addresses than the limit allows in a day
};

// CheckDailyLimit - whether recipient may go under email.rate.day. When the limit is reached, the
// first time until mail goes again, a warning says when there will be room; a recipient that can
// never go under the limit gets a warning of its own.
DailyRoom CheckDailyLimit(Drain& drain, std::int32_t rowId, const std::string& recipient) {
    const std::int64_t limit = drain.Smtp.RecipientsPerDay;
    if (limit <= 0) return DailyRoom::Room;
    const auto count = std::max<std::int64_t>(1, static_cast<std::int64_t>(mime::ParseAddressList(recipient).size()));
    const std::string limitText = "the daily limit email.rate.day = " + std::to_string(limit);
    if (count > limit) {
        WriteWarning(kServiceSource, Capitalised(DescribeMessage(rowId, recipient)) + " not sent: its " +
                                         std::to_string(count) + " addresses exceed " + limitText);
        return DailyRoom::TooMany;
    }
    const RetryTime now = drain.Retry.Now();
    const std::int64_t sent = drain.Retry.Sent().Within(now);
    if (sent + count <= limit) return DailyRoom::Room;
    if (!drain.Carry.DailyLimitNoted) {
        drain.Carry.DailyLimitNoted = true;
        std::optional<RetryTime> room = drain.Retry.Sent().RoomAt(now, limit, count);
        WriteWarning(kServiceSource, Capitalised(limitText) + " is reached (" + std::to_string(sent) +
                                         " recipients in the last 24 hours): the queued mail waits" +
                                         (room ? " about " + HoursAndMinutes(now, *room) : std::string()) +
                                         ", until the window allows more");
    }
    return DailyRoom::Full;
}

// NoteSent - the message's time for email.rate, and its recipients for email.rate.day.
void NoteSent(Drain& drain, const smtp::DeliveryResult& result) {
    drain.Carry.LastMessage = std::chrono::steady_clock::now();
    if (drain.Smtp.RecipientsPerDay <= 0) return;
    const std::int64_t sent = RecipientsSent(result);
    drain.Retry.NoteSent(sent);
    if (sent > 0) drain.Carry.DailyLimitNoted = false;
}

// SendRecipients - each recipient of the attempt in order, with the row's progress saved after each,
// until the drain must defer or stop (also when the instance lost its right to write).
DeliveryAction SendRecipients(Drain& drain, const SpoolRow& row, const AttachmentFiles& files,
                              RowAttempt& attempt) {
    for (const std::string& recipient : attempt.Recipients) {
        if (StopRaised(drain) || !RightHeld(drain)) return DeliveryAction::Stop;
        ScopedRowContext about(std::nullopt, recipient);
        switch (CheckDailyLimit(drain, row.Id, recipient)) {
            case DailyRoom::Room: break;
            case DailyRoom::Full:
                // Nobody is at fault: the row waits without a back-off.
                attempt.BackOff = false;
                return DeliveryAction::Defer;
            case DailyRoom::TooMany:
                // It stays in the row, and the row in back-off, while the others go.
                attempt.Outcomes.push_back({RecipientFate::Kept, recipient});
                continue;
        }
        if (!WaitForTurn(drain)) return DeliveryAction::Stop;
        smtp::DeliveryResult result;
        DeliveryDecision decision = SendOnce(drain, row, files, recipient, result);
        NoteSent(drain, result);
        if (decision.Throttled) drain.Carry.ResumeAfter = row.Id;
        if (decision.Fate == RecipientFate::Untried) return decision.Action;
        EntryOutcome outcome = OutcomeOf(decision, recipient);
        Count(drain.Counts, decision);
        WriteWarnings(result, decision);
        NoteLogEntries(drain, attempt, recipient, result, decision);
        if (outcome.Fate == RecipientFate::Pending && !outcome.Remaining.empty()) {
            drain.Retry.NoteRefusal(row.Id, decision.Split ? outcome.Remaining + ": " + result.Reason : result.Reason);
        }
        attempt.Outcomes.push_back(std::move(outcome));
        if (decision.Action == DeliveryAction::Defer) {
            attempt.BackOff = decision.BackOff;
            return DeliveryAction::Defer;
        }
        if (!SaveProgress(drain, row.Id, attempt)) return DeliveryAction::Stop;
    }
    return DeliveryAction::Continue;
}

// FinishRow - writes what the attempt leaves of the row, when that differs from what it holds: its
// removal when nobody remains to be served, otherwise its recipients rewritten to those who remain,
// and (with backOff) a back-off. Serves a stop at a message boundary as well as a deferral: whoever
// was not attempted stays in the row, in its place.
void FinishRow(Drain& drain, std::int32_t rowId, RowAttempt& attempt, bool backOff) {
    GiveUpExpired(drain, rowId, attempt);
    std::vector<std::string> remaining = RemainingRecipients(attempt);
    if (remaining.empty()) {
        if (!attempt.Removed && !CommitRowState(drain, rowId, attempt, std::nullopt)) return;
        drain.Retry.Forget(rowId);
        return;
    }
    std::string recipients = JoinRecipients(remaining);
    // Outcomes not yet logged are written with the row, even when its recipients stay as they are.
    if ((recipients != attempt.Stored || !attempt.Unlogged.empty()) &&
        !CommitRowState(drain, rowId, attempt, recipients)) {
        return;
    }
    if (backOff) drain.Retry.BackOff(rowId);
}

// CheckRowWritable - one write that changes nothing, before the row's first message: it waits for
// (and so tells about) another session's lock on the row or the table, and fails on a read-only
// server or without the privilege. It needs no fence of its own: it changes nothing, the right was
// checked just before it, and the write that removes or rewrites the row after sending confirms it.
// Returns Done with a warning when the row cannot be had alone (a lock wait, its ID not matching
// exactly one row), QueueLocked when the table cannot be changed at all, nullopt when the row can be
// written. Throws DatabaseError for a lost connection.
std::optional<RowEnd> CheckRowWritable(Drain& drain, const SpoolRow& row) {
    std::string notSent = Capitalised(DescribeMessage(row.Id, row.Recipients)) + " not sent: ";
    std::uint64_t matched = 0;
    try {
        WriteRowState(drain.Db, row.Id, row.Recipients);
        // A server that gives no note of the rows matched: a row in the page matches itself.
        matched = drain.Db.Cn().MatchedRows().value_or(1);
    } catch (const db::DatabaseError& e) {
        if (db::IsConnectionError(e.Number())) throw;
        if (db::IsLockConflict(e.Number())) {
            WriteWarning(kServiceSource, notSent + "its row is locked by another session: " + e.what());
            return RowEnd::Done;
        }
        WriteWarning(kServiceSource, notSent + "the queue cannot be changed, so the mail waits for a later "
                                               "cycle: " + e.what());
        return RowEnd::QueueLocked;
    }
    drain.LastDbUse = std::chrono::steady_clock::now();
    if (matched == 1) return std::nullopt;
    WriteWarning(kServiceSource, notSent + "its ID matches " + std::to_string(matched) +
                                     " rows of mail_spooler, so it cannot be removed alone once sent");
    return RowEnd::Done;
}

RowEnd ProcessRow(Drain& drain, const SpoolRow& row) {
    ScopedRowContext about(row.Id);
    if (!RightHeld(drain)) return RowEnd::QueueLocked;
    if (std::optional<RowEnd> refused = CheckRowWritable(drain, row)) {
        if (*refused == RowEnd::Done) drain.Retry.BackOff(row.Id);
        return *refused;
    }
    RowAttempt attempt{Explode(kListSeparator, row.Recipients, 0), {}, true, row.Recipients, false, {}};
    DeliveryAction action = DeliveryAction::Continue;
    try {
        AttachmentFiles files(drain.Attachments, DescribeMessage(row.Id, row.Recipients));
        for (const std::string& uid : Explode(kListSeparator, row.Attachments, 0)) {
            files.RebuildAttachment(drain.Db, uid);
        }
        drain.LastDbUse = std::chrono::steady_clock::now();
        action = SendRecipients(drain, row, files, attempt);
        files.Clear();
        FinishRow(drain, row.Id, attempt, action != DeliveryAction::Stop && attempt.BackOff);
    } catch (const db::DatabaseError& e) {
        if (!db::IsDataError(e.Number())) throw;
        // The row's own values were refused: it stays as it was, and the others go on.
        WriteWarning(kServiceSource, Capitalised(DescribeMessage(row.Id, row.Recipients)) +
                                         " skipped: the database refused its values: " + e.what());
        drain.Retry.BackOff(row.Id);
    }
    if (drain.LostRight) return RowEnd::QueueLocked;
    switch (action) {
        case DeliveryAction::Defer: return RowEnd::Defer;
        case DeliveryAction::Stop: return RowEnd::Stop;
        case DeliveryAction::Continue:
        case DeliveryAction::RetryNow: break;  // SendOnce has served a retry already
    }
    return RowEnd::Done;
}

}  // namespace

namespace {

// OnOneServer - the server is no node of a certifying cluster; when it cannot tell, a node is
// assumed (the safer way to write). Throws DatabaseError for a lost connection.
bool OnOneServer(db::Database& db) {
    try {
        return !db.OnCertifyingCluster();
    } catch (const db::DatabaseError& e) {
        if (db::IsConnectionError(e.Number())) throw;
        return false;
    }
}

// QueueEngine - mail_spooler's engine; when the server cannot tell, transactional, as the tables
// are created. Throws DatabaseError for a lost connection.
db::TableEngine QueueEngine(db::Database& db) {
    try {
        return db.MailSpoolerEngine();
    } catch (const db::DatabaseError& e) {
        if (db::IsConnectionError(e.Number())) throw;
        return {};
    }
}

// EndOfDrain - closes the mail session that the drain's messages may have kept open, however the
// drain ends.
class EndOfDrain {
public:
    explicit EndOfDrain(mail::MailSender& sender) : sender_(sender) {}
    ~EndOfDrain() { sender_.EndSession(); }
    EndOfDrain(const EndOfDrain&) = delete;
    EndOfDrain& operator=(const EndOfDrain&) = delete;

private:
    mail::MailSender& sender_;
};

}  // namespace

DrainResult DrainSpool(db::Database& db, mail::MailSender& sender, const SmtpSettings& smtp,
                       const std::string& attachmentRoot, RetrySchedule& retry, const StopSignal* stop,
                       DrainCarry* carry, WorkRight* right) {
    EndOfDrain endOfDrain(sender);
    DrainResult result;
    result.QueueEngine = QueueEngine(db);
    result.MailLog = MailLogExists(db);
    AttachmentDirectory attachments(attachmentRoot);
    DrainCarry alone;
    DrainCarry& carried = carry != nullptr ? *carry : alone;
    SessionLockRight sessionLock;
    Drain drain{db, sender, smtp, attachments, retry, result.Counts, stop, carried, right ? *right : sessionLock, smtp};
    drain.Log = result.MailLog;
    drain.OneStatementFence = drain.Right.Fenced() && OnOneServer(db);
    // After a throttling reply the first pass begins behind the row that drew it; it reads only
    // part of the queue.
    std::int32_t firstAfter = carried.ResumeAfter.value_or(kBeforeFirstId);
    carried.ResumeAfter.reset();
    // A row is tried at most once per drain. Only the rows tried that stay queued are noted (the
    // others are gone), so this follows the rows left for later, not the queue.
    std::set<std::int32_t> tried;
    bool heldAny = false;
    db::Statement& q = db.GetMail();
    // Passes from the lowest ID, each read a page at a time. Another program may commit a row with a
    // lower ID than one already read: the next pass finds it. The drain ends when a pass finds
    // nothing to try.
    for (;;) {
        bool triedAny = false;
        std::set<std::int32_t> remembered;  // the rows of the retry schedule that are still queued
        std::int32_t after = firstAfter;
        const bool wholeQueue = firstAfter == kBeforeFirstId;
        firstAfter = kBeforeFirstId;
        for (;;) {
            q.SetInteger("after", after);
            q.Open();
            std::uint64_t pageSession = db.Cn().Session();
            if (q.Empty()) {
                q.Close();
                break;
            }
            for (; !q.AtEnd(); q.Next()) {
                SpoolRow row;
                ReadRow(db, q, row);
                after = row.Id;
                if (retry.Remembers(row.Id)) remembered.insert(row.Id);
                if (retry.Waiting(row.Id) || tried.count(row.Id) != 0) continue;
                if (!row.Attachments.empty() && !attachments.Usable()) {
                    // Its attachments cannot be written safely: the row stays queued as it is.
                    if (!heldAny) {
                        WriteWarning(kServiceSource, attachments.Problem() +
                                                         "; the queued mail with attachments stays queued");
                    }
                    heldAny = true;
                    continue;
                }
                triedAny = true;
                RowEnd end = StopRaised(drain) ? RowEnd::Stop : ProcessRow(drain, row);
                if (end != RowEnd::Done) {
                    q.Close();
                    result.Outcome = end == RowEnd::Stop ? DrainOutcome::Stopped : DrainOutcome::Deferred;
                    return result;
                }
                if (retry.Remembers(row.Id)) tried.insert(row.Id);
                // The page belonged to a session that was replaced: read on from here on the new one.
                if (db.Cn().Session() != pageSession) break;
            }
            q.Close();
        }
        if (!triedAny && wholeQueue) {
            // A pass with nothing to try has read the whole queue.
            retry.KeepOnly(remembered);
            return result;
        }
    }
}

}  // namespace tessel::cycle
