// The machine's local clock, injectable so that tests can choose the minute.
#pragma once

#include <chrono>
#include <functional>

namespace tessel::cycle {

// LocalDateTime - a local calendar date with hour (0-23) and minute (0-59).
struct LocalDateTime {
    std::chrono::year_month_day Date;
    int Hour = 0;
    int Minute = 0;
};

using LocalClock = std::function<LocalDateTime()>;

// SystemLocalClock - reads the local time with localtime_r (honours TZ). Never throws.
LocalClock SystemLocalClock();

}  // namespace tessel::cycle
