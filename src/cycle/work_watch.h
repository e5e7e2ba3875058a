// The cheap look between cycles: has a row been queued, or an alarm fallen due, since the last
// look? Then a cycle can start at once instead of at its next turn.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cycle/local_clock.h"
#include "db/database.h"

namespace tessel::cycle {

// kWatchQuery - what one look reads: the highest ID of each table, which the server takes from the
// end of the primary key without reading a row.
inline constexpr const char* kWatchQuery = "SELECT (SELECT MAX(ID) FROM mail_spooler), (SELECT MAX(ID) FROM alarmes)";

class WorkWatch {
public:
    // The references must outlive the object.
    WorkWatch(db::Database& db, const LocalClock& clock) : db_(db), clock_(clock) {}

    // Mark - a cycle begins: what is queued now, and the alarms of this minute, are its work.
    // Throws DatabaseError.
    void Mark();

    // WorkWaiting - one look on the cycle's session: true when a row or an alarm was added since the
    // last Mark or look, or (once per minute, with a second query) when alarms fall due in a minute
    // that began since. Throws DatabaseError / StatementError.
    bool WorkWaiting();

private:
    struct Highest {
        std::optional<std::int64_t> Mail, Alarm;
    };
    Highest ReadHighest();
    bool AlarmsDueNow(const LocalDateTime& now);

    db::Database& db_;
    const LocalClock& clock_;
    Highest seen_;
    std::optional<LocalDateTime> minute_;  // the minute whose alarms are known to be dispatched
};

}  // namespace tessel::cycle
