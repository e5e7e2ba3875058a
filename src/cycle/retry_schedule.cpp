#include "cycle/retry_schedule.h"

#include <algorithm>

namespace tessel::cycle {

RetryClock SteadyRetryClock() {
    return [] { return std::chrono::steady_clock::now(); };
}

RetrySchedule::RetrySchedule(RetryClock clock) : clock_(std::move(clock)) {}

bool RetrySchedule::Waiting(std::int32_t rowId) const {
    auto it = rows_.find(rowId);
    return it != rows_.end() && it->second.NextAttempt && Now() < *it->second.NextAttempt;
}

std::size_t RetrySchedule::WaitingCount() const {
    RetryTime now = Now();
    std::size_t waiting = 0;
    for (const auto& [id, row] : rows_) waiting += row.NextAttempt && now < *row.NextAttempt;
    return waiting;
}

void RetrySchedule::BackOff(std::int32_t rowId) {
    Row& row = rows_[rowId];
    row.NextAttempt = Now() + row.Wait;
    row.Wait = std::min(row.Wait * 2, kLongestBackOff);
}

void RetrySchedule::NoteRefusal(std::int32_t rowId, const std::string& reply) {
    Row& row = rows_[rowId];
    if (!row.Refused) row.Refused = FirstRefusal{Now(), reply};
}

std::optional<FirstRefusal> RetrySchedule::Refusal(std::int32_t rowId) const {
    auto it = rows_.find(rowId);
    return it == rows_.end() ? std::nullopt : it->second.Refused;
}

void RetrySchedule::ForgetRefusal(std::int32_t rowId) {
    auto it = rows_.find(rowId);
    if (it != rows_.end()) it->second.Refused.reset();
}

void RetrySchedule::Forget(std::int32_t rowId) { rows_.erase(rowId); }

void RetrySchedule::KeepOnly(const std::set<std::int32_t>& queued) {
    std::erase_if(rows_, [&](const auto& entry) { return !queued.contains(entry.first); });
}

}  // namespace tessel::cycle
