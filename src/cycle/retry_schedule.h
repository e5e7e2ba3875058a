// What the service remembers of the rows it could not finish: when each may be tried again, and
// when and how it was first refused for a while; and how many recipients it sent to lately (for a
// daily limit). An observer is told of every change, so the
// state can be kept in a file and outlive the process (see retry_state_file.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cycle/recipient_tally.h"

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

// RetryEntry - all that is kept of one row.
struct RetryEntry {
    std::int32_t Id = 0;
    int Attempts = 0;                        // unfinished attempts so far
    std::optional<RetryTime> NextAttempt;    // not to be tried before this
    std::chrono::minutes Wait = kFirstBackOff;  // the wait after the next unfinished attempt
    std::optional<FirstRefusal> Refused;
    std::string LastReply;                   // the reply of the latest temporary refusal
};

class RetrySchedule {
public:
    explicit RetrySchedule(RetryClock clock = SteadyRetryClock());

    RetryTime Now() const { return clock_(); }
    // Waiting - the row is in back-off: it must not be tried before its time.
    bool Waiting(std::int32_t rowId) const;
    // Remembers - something of the row is kept (a back-off or a refusal).
    bool Remembers(std::int32_t rowId) const { return rows_.count(rowId) != 0; }
    // OnChange - observer is called after every change of what is kept (not for a mere lookup).
    void OnChange(std::function<void()> observer) { onChange_ = std::move(observer); }
    // Entries - everything kept, in row order.
    std::vector<RetryEntry> Entries() const;
    // Restore - replaces everything kept by entries (read back from a file); the observer is not
    // called.
    void Restore(const std::vector<RetryEntry>& entries);
    // ClearBackOffs - every row may be tried at once, its wait back to the first one; the give-up
    // clocks run on.
    void ClearBackOffs();
    // BackOff - the row is tried again no sooner than its current wait from now; the wait doubles.
    void BackOff(std::int32_t rowId);
    // NoteRefusal - records reply as the row's latest temporary refusal, and as its first unless
    // one is recorded.
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
    // NoteSent - count recipients were sent to now.
    void NoteSent(std::int64_t count);
    // Sent - the recipients sent to lately.
    const RecipientTally& Sent() const { return sent_; }
    // RestoreSent - replaces the tally by counts (read back from a file); the observer is not called.
    void RestoreSent(const std::vector<SentCount>& counts) { sent_.Restore(counts); }
    // Size - the number of rows remembered.
    std::size_t Size() const { return rows_.size(); }

private:
    // Row - the entry of rowId, made when missing.
    RetryEntry& Row(std::int32_t rowId);
    void Changed() const {
        if (onChange_) onChange_();
    }

    RetryClock clock_;
    std::map<std::int32_t, RetryEntry> rows_;
    RecipientTally sent_;
    std::function<void()> onChange_;
};

}  // namespace tessel::cycle
