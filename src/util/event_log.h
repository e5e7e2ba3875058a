// Event records: syslog (facility daemon) and, outside the journal, one line on standard error;
// under the journal (JOURNAL_STREAM set), structured journal entries instead.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "util/journal.h"

namespace tessel {

enum class Severity { Error, Warning, Information };

// The service's own record source.
inline constexpr const char* kServiceSource = "TesselComService";

// RecordField - one journal field of a record besides its text, such as "TESSEL_ROW_ID" and "4".
struct RecordField {
    std::string Name;
    std::string Value;
};

// EventRecord - one record, the journal MESSAGE_ID of its kind (32 hex digits; empty: none) and
// the facts it is about, as further journal fields.
struct EventRecord {
    EventRecord(Severity level, std::string source, std::string text, std::string_view messageId = {})
        : Level(level), Source(std::move(source)), Text(std::move(text)), MessageId(messageId) {}

    // Set - the field's value from now on (added when the record has none of that name).
    void Set(std::string_view name, std::string value);
    // Field - the field's value; nullptr when the record has none of that name.
    const std::string* Field(std::string_view name) const;

    Severity Level = Severity::Error;
    std::string Source = kServiceSource;
    std::string Text;
    std::string MessageId;
    std::vector<RecordField> Fields;
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

// JournalFieldsOf - the journal entry of a record: MESSAGE, PRIORITY, SYSLOG_FACILITY,
// SYSLOG_IDENTIFIER (the source), MESSAGE_ID when set, then the record's fields.
JournalFields JournalFieldsOf(const EventRecord& record);

// ScopedRecordFields - while it lives, records written on this thread get these fields where they
// have none of the name. Scopes nest; an inner one's field of a name hides an outer one's.
class ScopedRecordFields {
public:
    explicit ScopedRecordFields(std::vector<RecordField> fields);
    ~ScopedRecordFields();
    ScopedRecordFields(const ScopedRecordFields&) = delete;
    ScopedRecordFields& operator=(const ScopedRecordFields&) = delete;

private:
    std::size_t outer_;
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
