#include "util/event_log.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "util/exe_path.h"

namespace tessel {
namespace {

std::mutex g_mutex;
EventSink g_sink;

void Write(Severity severity, const std::string& source, const std::string& text) {
    std::lock_guard lock(g_mutex);
    if (g_sink) {
        g_sink(severity, source, text);
        return;
    }
    int priority = severity == Severity::Error ? LOG_ERR : LOG_WARNING;
    // openlog keeps the ident pointer: hold each source's text for the process's life.
    static std::string ident;
    ident = source;
    ::openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(priority, "%s", text.c_str());
    ::closelog();
    if (std::getenv("JOURNAL_STREAM") == nullptr) {
        std::fprintf(stderr, "%s: %s\n", source.c_str(), text.c_str());
        std::fflush(stderr);
    }
}

}  // namespace

std::string ApplicationSource() {
    std::string path = ExecutablePath();
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void WriteEventLog(const std::string& source, const std::string& text) {
    Write(Severity::Error, source, text);
}

void WriteWarning(const std::string& source, const std::string& text) {
    Write(Severity::Warning, source, text);
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

}  // namespace tessel
