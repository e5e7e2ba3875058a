#include "util/event_log.h"

#include <syslog.h>

#include <cstdio>
#include <iterator>
#include <mutex>

#include "util/exe_path.h"

namespace tessel {
namespace {

std::mutex g_mutex;
EventSink g_sink;
SystemdJournal g_systemdJournal;
Journal* g_journal = &g_systemdJournal;

// The fields that the records of this thread get by default, outermost first (ScopedRecordFields).
thread_local std::vector<RecordField> t_fields;

int PriorityOf(Severity severity) {
    switch (severity) {
        case Severity::Error: return LOG_ERR;
        case Severity::Warning: return LOG_WARNING;
        case Severity::Information: return LOG_INFO;
    }
    return LOG_ERR;
}

// WritePlain - syslog, and standard error unless that goes to the journal already.
void WritePlain(const EventRecord& record) {
    // openlog keeps the ident pointer: hold each source's text for the process's life.
    static std::string ident;
    ident = record.Source;
    ::openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(PriorityOf(record.Level), "%s", record.Text.c_str());
    ::closelog();
    if (!RunsUnderJournal()) {
        std::fprintf(stderr, "%s: %s\n", record.Source.c_str(), record.Text.c_str());
        std::fflush(stderr);
    }
}

}  // namespace

std::string ApplicationSource() {
    std::string path = ExecutablePath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void WriteApplicationRecord(const std::string& text) noexcept {
    try {
        WriteEventLog(ApplicationSource(), text);
    } catch (...) {
        WriteEventLog("tesselcomsvc", text);
    }
}

void WriteRecord(EventRecord record) noexcept {
    try {
        // The innermost scope's field of a name comes first, and hides the outer ones'.
        for (auto field = t_fields.rbegin(); field != t_fields.rend(); ++field) {
            if (record.Field(field->Name) == nullptr) record.Fields.push_back(*field);
        }
        std::lock_guard lock(g_mutex);
        if (g_sink) {
            g_sink(record.Level, record.Source, record.Text);
        } else if (!RunsUnderJournal() || !g_journal->Send(JournalFieldsOf(record))) {
            // Outside the journal, or journald did not take it: the plain record is not lost.
            WritePlain(record);
        }
    } catch (...) {
        // A record that cannot be written must not end the service.
    }
}

void WriteEventLog(const std::string& source, const std::string& text) {
    WriteRecord({Severity::Error, source, text});
}

void WriteWarning(const std::string& source, const std::string& text) {
    WriteRecord({Severity::Warning, source, text});
}

void WriteInformation(const std::string& source, const std::string& text) {
    WriteRecord({Severity::Information, source, text});
}

void EventRecord::Set(std::string_view name, std::string value) {
    for (RecordField& field : Fields) {
        if (field.Name == name) {
            field.Value = std::move(value);
            return;
        }
    }
    Fields.push_back({std::string(name), std::move(value)});
}

const std::string* EventRecord::Field(std::string_view name) const {
    for (const RecordField& field : Fields) {
        if (field.Name == name) return &field.Value;
    }
    return nullptr;
}

JournalFields JournalFieldsOf(const EventRecord& record) {
    constexpr int kFacilityDaemon = LOG_DAEMON >> 3;
    JournalFields fields = {"MESSAGE=" + record.Text,
                            "PRIORITY=" + std::to_string(PriorityOf(record.Level)),
                            "SYSLOG_FACILITY=" + std::to_string(kFacilityDaemon),
                            "SYSLOG_IDENTIFIER=" + record.Source};
    if (!record.MessageId.empty()) fields.push_back("MESSAGE_ID=" + record.MessageId);
    for (const RecordField& field : record.Fields) fields.push_back(field.Name + "=" + field.Value);
    return fields;
}

ScopedRecordFields::ScopedRecordFields(std::vector<RecordField> fields) : outer_(t_fields.size()) {
    t_fields.insert(t_fields.end(), std::make_move_iterator(fields.begin()), std::make_move_iterator(fields.end()));
}

ScopedRecordFields::~ScopedRecordFields() { t_fields.resize(outer_); }

ScopedEventSink::ScopedEventSink(EventSink sink) {
    std::lock_guard lock(g_mutex);
    previous_ = std::move(g_sink);
    g_sink = std::move(sink);
}

ScopedEventSink::~ScopedEventSink() {
    std::lock_guard lock(g_mutex);
    g_sink = std::move(previous_);
}

ScopedJournal::ScopedJournal(Journal& journal) {
    std::lock_guard lock(g_mutex);
    previous_ = g_journal;
    g_journal = &journal;
}

ScopedJournal::~ScopedJournal() {
    std::lock_guard lock(g_mutex);
    g_journal = previous_;
}

}  // namespace tessel
