// Event records: syslog (facility daemon) and, outside the journal, one line on standard error.
#pragma once

#include <functional>
#include <string>

namespace tessel {

enum class Severity { Error, Warning };

// The service's own record source.
inline constexpr const char* kServiceSource = "TesselComService";

// ApplicationSource - the executable's file name, the source of the application records.
std::string ApplicationSource();

// WriteEventLog - one error record under source. Never throws.
void WriteEventLog(const std::string& source, const std::string& text);

// WriteWarning - one warning record (failed deliveries, deferrals, skipped attachments).
void WriteWarning(const std::string& source, const std::string& text);

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

}  // namespace tessel
