// How many recipients were sent to lately, kept a minute at a time, for a limit of recipients in
// any 24 hours.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tessel::cycle {

inline constexpr std::chrono::hours kTallyWindow{24};
inline constexpr std::chrono::minutes kTallyStep{1};

// SentCount - the recipients sent to in the minute that begins at Minute.
struct SentCount {
    std::chrono::steady_clock::time_point Minute;
    std::int64_t Count = 0;
};

// RecipientTally - counts per minute over the last 24 hours (and a minute). A minute counts in
// full while any part of it lies within the window, so the count is never below the truth.
class RecipientTally {
public:
    using Time = std::chrono::steady_clock::time_point;

    // Note - count recipients sent to at now; minutes that left the window are dropped.
    void Note(Time now, std::int64_t count);
    // Within - the recipients sent to in the 24 hours before now.
    std::int64_t Within(Time now) const;
    // RoomAt - the first moment from now on at which count more recipients keep the 24-hour count
    // at or below limit; nothing when count alone exceeds limit.
    std::optional<Time> RoomAt(Time now, std::int64_t limit, std::int64_t count) const;
    // Counts / Restore - what is kept, oldest minute first, and its replacement (from a file).
    std::vector<SentCount> Counts() const;
    void Restore(const std::vector<SentCount>& counts);

private:
    // InWindow - whether the minute that begins at minute still touches the window before now.
    static bool InWindow(Time minute, Time now) { return minute + kTallyStep + kTallyWindow > now; }

    std::map<Time, std::int64_t> minutes_;
};

}  // namespace tessel::cycle
