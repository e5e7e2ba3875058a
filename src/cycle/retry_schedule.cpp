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

std::vector<RetryEntry> RetrySchedule::Entries() const {
    std::vector<RetryEntry> entries;
    entries.reserve(rows_.size());
    for (const auto& [id, row] : rows_) entries.push_back(row);
    return entries;
}

void RetrySchedule::Restore(const std::vector<RetryEntry>& entries) {
    rows_.clear();
    for (const RetryEntry& entry : entries) rows_[entry.Id] = entry;
}

void RetrySchedule::NoteSent(std::int64_t count) {
    if (count <= 0) return;
    sent_.Note(Now(), count);
    Changed();
}

void RetrySchedule::ClearBackOffs() {
    for (auto& [id, row] : rows_) {
        row.NextAttempt.reset();
        row.Wait = kFirstBackOff;
    }
    Changed();
}

RetryEntry& RetrySchedule::Row(std::int32_t rowId) {
    RetryEntry& row = rows_[rowId];
    row.Id = rowId;
    return row;
}

void RetrySchedule::BackOff(std::int32_t rowId) {
    RetryEntry& row = Row(rowId);
    ++row.Attempts;
    row.NextAttempt = Now() + row.Wait;
    row.Wait = std::min(row.Wait * 2, kLongestBackOff);
    Changed();
}

void RetrySchedule::NoteRefusal(std::int32_t rowId, const std::string& reply) {
    RetryEntry& row = Row(rowId);
    if (!row.Refused) row.Refused = FirstRefusal{Now(), reply};
    row.LastReply = reply;
    Changed();
}

std::optional<FirstRefusal> RetrySchedule::Refusal(std::int32_t rowId) const {
    auto it = rows_.find(rowId);
    return it == rows_.end() ? std::nullopt : it->second.Refused;
}

void RetrySchedule::ForgetRefusal(std::int32_t rowId) {
    auto it = rows_.find(rowId);
    if (it == rows_.end() || !it->second.Refused) return;
    it->second.Refused.reset();
    Changed();
}

void RetrySchedule::Forget(std::int32_t rowId) {
    if (rows_.erase(rowId) != 0) Changed();
}

void RetrySchedule::KeepOnly(const std::set<std::int32_t>& queued) {
    if (std::erase_if(rows_, [&](const auto& entry) { return !queued.contains(entry.first); }) != 0) {
        Changed();
    }
}

}  // namespace tessel::cycle
