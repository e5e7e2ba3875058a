#include "cycle/recipient_tally.h"

namespace tessel::cycle {

void RecipientTally::Note(Time now, std::int64_t count) {
    std::erase_if(minutes_, [now](const auto& minute) { return !InWindow(minute.first, now); });
    if (count <= 0) return;
    auto sinceEpoch = now.time_since_epoch();
    Time minute(std::chrono::duration_cast<Time::duration>(std::chrono::floor<std::chrono::minutes>(sinceEpoch)));
    minutes_[minute] += count;
}

std::int64_t RecipientTally::Within(Time now) const {
    std::int64_t total = 0;
    for (const auto& [minute, count] : minutes_) {
        if (InWindow(minute, now)) total += count;
    }
    return total;
}

std::optional<RecipientTally::Time> RecipientTally::RoomAt(Time now, std::int64_t limit,
                                                           std::int64_t count) const {
    if (count > limit) return std::nullopt;
    std::int64_t total = Within(now);
    // The oldest minutes leave the window first; each that leaves makes room for its count.
    Time at = now;
    for (auto it = minutes_.begin(); total + count > limit && it != minutes_.end(); ++it) {
        if (!InWindow(it->first, now)) continue;
        total -= it->second;
        at = it->first + kTallyStep + kTallyWindow;
    }
    return at;
}

std::vector<SentCount> RecipientTally::Counts() const {
    std::vector<SentCount> counts;
    for (const auto& [minute, count] : minutes_) counts.push_back({minute, count});
    return counts;
}

void RecipientTally::Restore(const std::vector<SentCount>& counts) {
    minutes_.clear();
    for (const SentCount& sent : counts) {
        if (sent.Count > 0) minutes_[sent.Minute] += sent.Count;
    }
}

}  // namespace tessel::cycle
