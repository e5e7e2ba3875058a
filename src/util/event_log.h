// Event records: syslog (facility daemon) and, outside the journal, one line on standard error;
// under the journal (JOURNAL_STREAM set), structured journal entries instead.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "util/journal.h"

namespace tessel {

enum class Severity { Error, Warning, Information };

// The service's own record source.
inline constexpr const char* kServiceSource = "TesselComService";

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

// EventRecord - one record and the facts it is about, where they apply.
struct EventRecord {
    EventRecord(Severity level, std::string source, std::string text,
                RecordKind kind = RecordKind::General)
        : Level(level), Source(std::move(source)), Text(std::move(text)), Kind(kind) {}

    Severity Level = Severity::Error;
    std::string Source = kServiceSource;
    std::string Text;
    RecordKind Kind = RecordKind::General;
    std::optional<std::int64_t> RowId;     // the mail_spooler row
    std::optional<std::string> Recipient;  // the recipient address as queued
    std::optional<std::string> SmtpReply;  // the mail server's reply
};

// ApplicationSource - the executable's file name, the source of the application records.
std::string ApplicationSource();

// WriteRecord - writes one record; fields left empty are taken from the innermost
// ScopedRecordContext of this thread. Never throws.
void WriteRecord(EventRecord record) noexcept;

// WriteEventLog - one error record under source. Never throws.
void WriteEventLog(const std::string& source, const std::string& text);

// WriteApplicationRecord - one error record under the application source ("tesselcomsvc" when the
// executable's path is gone). Never throws.
void WriteApplicationRecord(const std::string& text) noexcept;

// WriteWarning - one warning record (failed deliveries, deferrals, skipped attachments).
void WriteWarning(const std::string& source, const std::string& text);

// WriteInformation - one information record.
void WriteInformation(const std::string& source, const std::string& text);

// MessageIdOf - the journal MESSAGE_ID of a kind (32 hex digits); empty for General.
std::string_view MessageIdOf(RecordKind kind);

// JournalFieldsOf - the journal entry of a record: MESSAGE, PRIORITY, SYSLOG_FACILITY,
// SYSLOG_IDENTIFIER (the source), MESSAGE_ID, and TESSEL_ROW_ID, TESSEL_RECIPIENT, SMTP_REPLY when set.
JournalFields JournalFieldsOf(const EventRecord& record);

// ScopedRecordContext - while it lives, records written on this thread that name no row (or no
// recipient) are about this one. Contexts nest; an inner one keeps what it does not set.
class ScopedRecordContext {
public:
    explicit ScopedRecordContext(std::optional<std::int64_t> rowId,
                                 std::optional<std::string> recipient = std::nullopt);
    ~ScopedRecordContext();
    ScopedRecordContext(const ScopedRecordContext&) = delete;
    ScopedRecordContext& operator=(const ScopedRecordContext&) = delete;

private:
    std::optional<std::int64_t> previousRow_;
    std::optional<std::string> previousRecipient_;
};

// A sink receives every record instead of syslog/stderr while it is installed (tests).
using EventSink = std::function<void(Severity, const std::string& source, const std::string& text)>;

// ScopedEventSink - installs a sink for its lifetime; the previous one is restored after.
class ScopedEventSink {
public:
    explicit ScopedEventSink(EventSink sink);
    ~ScopedEventSink();
    ScopedEventSink(const ScopedEventSink&) = delete;
    ScopedEventSink& operator=(const ScopedEventSink&) = delete;

private:
    EventSink previous_;
};

// ScopedJournal - the journal that records go to under JOURNAL_STREAM, instead of journald, for
// the object's lifetime (tests read the entries it receives).
class ScopedJournal {
public:
    explicit ScopedJournal(Journal& journal);
    ~ScopedJournal();
    ScopedJournal(const ScopedJournal&) = delete;
    ScopedJournal& operator=(const ScopedJournal&) = delete;

private:
    Journal* previous_;
};

}  // namespace tessel
