#include "cycle/local_clock.h"

#include <ctime>

namespace tessel::cycle {

LocalClock SystemLocalClock() {
    return [] {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        ::localtime_r(&now, &local);
        LocalDateTime result;
        result.Date = std::chrono::year(local.tm_year + 1900) /
                      std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)) /
                      std::chrono::day(static_cast<unsigned>(local.tm_mday));
        result.Hour = local.tm_hour;
        result.Minute = local.tm_min;
        return result;
    };
}

}  // namespace tessel::cycle
