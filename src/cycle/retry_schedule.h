// What this process remembers of the rows it could not finish: when each may be tried again, and
// when and how it was first refused for a while. Kept in memory only, so a restart tries every row
// at once and starts the give-up clock afresh.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace tessel::cycle {

// kFirstBackOff, kLongestBackOff - a row waits this long after its first unfinished attempt; the
// wait doubles after every further one, up to the longest.
inline constexpr std::chrono::minutes kFirstBackOff{5};
inline constexpr std::chrono::minutes kLongestBackOff{60};

using RetryTime = std::chrono::steady_clock::time_point;
using RetryClock = std::function<RetryTime()>;

// SteadyRetryClock - the monotonic clock of the process (unaffected by a change of the wall clock).
RetryClock SteadyRetryClock();

// FirstRefusal - the first temporary refusal of a row that this process saw.
struct FirstRefusal {
    RetryTime At;
    std::string Reply;
};

class RetrySchedule {
public:
    explicit RetrySchedule(RetryClock clock = SteadyRetryClock());

    RetryTime Now() const { return clock_(); }
    // Waiting - the row is in back-off: it must not be tried before its time.
    bool Waiting(std::int32_t rowId) const;
    // Remembers - something of the row is kept (a back-off or a refusal).
    bool Remembers(std::int32_t rowId) const { return rows_.count(rowId) != 0; }
    // BackOff - the row is tried again no sooner than its current wait from now; the wait doubles.
    void BackOff(std::int32_t rowId);
    // NoteRefusal - records reply as the row's first temporary refusal unless one is recorded.
    void NoteRefusal(std::int32_t rowId, const std::string& reply);
    // Refusal - the row's first temporary refusal, if any.
    std::optional<FirstRefusal> Refusal(std::int32_t rowId) const;
    // ForgetRefusal - the row's give-up clock starts again at its next temporary refusal.
    void ForgetRefusal(std::int32_t rowId);
    // Forget - the row is gone: nothing of it is kept.
    void Forget(std::int32_t rowId);
    // KeepOnly - forgets every row not in queued (the IDs a full read of the queue found), so that
    // rows removed by others are not remembered for ever.
    void KeepOnly(const std::set<std::int32_t>& queued);
    // WaitingCount - the number of rows in back-off now.
    std::size_t WaitingCount() const;
    // Size - the number of rows remembered.
    std::size_t Size() const { return rows_.size(); }

private:
    struct Row {
        std::optional<RetryTime> NextAttempt;
        std::chrono::minutes Wait = kFirstBackOff;
        std::optional<FirstRefusal> Refused;
    };

    RetryClock clock_;
    std::map<std::int32_t, Row> rows_;
};

}  // namespace tessel::cycle
