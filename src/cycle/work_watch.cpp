#include "cycle/work_watch.h"

#include <charconv>
#include <cstring>

namespace tessel::cycle {
namespace {

std::optional<std::int64_t> NumberField(const char* value) {
    if (value == nullptr) return std::nullopt;
    std::int64_t number = 0;
    auto [end, error] = std::from_chars(value, value + std::strlen(value), number);
    if (error != std::errc()) return std::nullopt;
    return number;
}

bool SameMinute(const LocalDateTime& a, const LocalDateTime& b) {
    return a.Date == b.Date && a.Hour == b.Hour && a.Minute == b.Minute;
}

// Grew - a table got a row with a higher ID than was seen (an empty table that got one included).
bool Grew(const std::optional<std::int64_t>& before, const std::optional<std::int64_t>& now) {
    return now && (!before || *now > *before);
}

}  // namespace

WorkWatch::Highest WorkWatch::ReadHighest() {
    db::ResultHandle result = db_.Cn().Query(kWatchQuery);
    MYSQL_ROW row = ::mysql_fetch_row(result.get());
    if (row == nullptr) return {};
    return {NumberField(row[0]), NumberField(row[1])};
}

bool WorkWatch::AlarmsDueNow(const LocalDateTime& now) {
    db::Statement& alarms = db_.Alarmes();
    alarms.SetDate("data", now.Date);
    alarms.SetInteger("hora", now.Hour);
    alarms.SetInteger("minuto", now.Minute);
    alarms.Open();
    bool due = !alarms.Empty();
    alarms.Close();
    return due;
}

void WorkWatch::Mark() {
    minute_ = clock_();
    seen_ = ReadHighest();
}

bool WorkWatch::WorkWaiting() {
    const LocalDateTime now = clock_();
    if (!minute_ || !SameMinute(*minute_, now)) {
        minute_ = now;
        if (AlarmsDueNow(now)) return true;
    }
    Highest highest = ReadHighest();
    bool grew = Grew(seen_.Mail, highest.Mail) || Grew(seen_.Alarm, highest.Alarm);
    seen_ = highest;
    return grew;
}

}  // namespace tessel::cycle
