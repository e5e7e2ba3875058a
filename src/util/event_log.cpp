#include "util/event_log.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>

#include "util/exe_path.h"

namespace tessel {
namespace {

std::mutex g_mutex;
EventSink g_sink;
SystemdJournal g_systemdJournal;
Journal* g_journal = &g_systemdJournal;

// The row and recipient that the records of this thread are about, set by ScopedRecordContext.
thread_local std::optional<std::int64_t> t_rowId;
thread_local std::optional<std::string> t_recipient;

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
        if (!record.RowId) record.RowId = t_rowId;
        if (!record.Recipient) record.Recipient = t_recipient;
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

std::string_view MessageIdOf(RecordKind kind) {
    // Fixed for ever: operators' queries and alerts name them.
    switch (kind) {
        case RecordKind::General: return "";
        case RecordKind::Refused: return "d6a3686c2c7542c7a64d919bc0f89c61";
        case RecordKind::Pending: return "a8ac2bcd44e64c64be0fc499f10685d2";
        case RecordKind::Deferred: return "39ee5c3a33024de999eecd33c24140f6";
        case RecordKind::GivenUp: return "1bcc291b302b412db07f69f3ef6bedbe";
        case RecordKind::Unconfirmed: return "a782029258d84f26856565459bf2a4df";
        case RecordKind::AttachmentSkipped: return "b2adce6f1be14239ad52cbd3482d596c";
        case RecordKind::FailedOnStart: return "516ee760165e4bc4af467bb31b0514c6";
        case RecordKind::FailedOnExecute: return "3f1103ab53554f60855e2a4a1e91d287";
        case RecordKind::BecameActive: return "bc5f7d5f41dc4ddba23e7a684588dfc4";
        case RecordKind::BecameStandby: return "08af7ef718684c0c9564b23d4b5bea4d";
        case RecordKind::CycleSummary: return "3a3f3563b36c46bea962a40821374b0d";
    }
    return "";
}

JournalFields JournalFieldsOf(const EventRecord& record) {
    constexpr int kFacilityDaemon = LOG_DAEMON >> 3;
    JournalFields fields = {"MESSAGE=" + record.Text,
                            "PRIORITY=" + std::to_string(PriorityOf(record.Level)),
                            "SYSLOG_FACILITY=" + std::to_string(kFacilityDaemon),
                            "SYSLOG_IDENTIFIER=" + record.Source};
    if (std::string_view id = MessageIdOf(record.Kind); !id.empty()) {
        fields.push_back("MESSAGE_ID=" + std::string(id));
    }
    if (record.RowId) fields.push_back("TESSEL_ROW_ID=" + std::to_string(*record.RowId));
    if (record.Recipient) fields.push_back("TESSEL_RECIPIENT=" + *record.Recipient);
    if (record.SmtpReply) fields.push_back("SMTP_REPLY=" + *record.SmtpReply);
    return fields;
}

ScopedRecordContext::ScopedRecordContext(std::optional<std::int64_t> rowId,
                                         std::optional<std::string> recipient)
    : previousRow_(t_rowId), previousRecipient_(t_recipient) {
    if (rowId) t_rowId = rowId;
    if (recipient) t_recipient = std::move(recipient);
}

ScopedRecordContext::~ScopedRecordContext() {
    t_rowId = std::move(previousRow_);
    t_recipient = std::move(previousRecipient_);
}

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
