// The retry state kept in a file of the state directory, so that a restart and every --once run
// keep each row's back-off and give-up clock.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cycle/retry_schedule.h"

namespace tessel::cycle {

// kRetryStateFileName - the file's name in the state directory.
inline constexpr std::string_view kRetryStateFileName = "retry-state";

using WallTime = std::chrono::system_clock::time_point;

// RetryClocks - the two readings that turn the process's monotonic times into wall-clock times
// and back: a file outlives the process, its monotonic clock does not.
struct RetryClocks {
    WallTime Wall;
    RetryTime Steady;
};

// RetryStateText - the file's contents for entries and the tally sent: a header line, then one
// line per row with its times as wall-clock milliseconds, then one line per minute of the tally
// ("sent", the minute, the count). Control bytes of a reply become blanks.
std::string RetryStateText(const std::vector<RetryEntry>& entries, const RetryClocks& now,
                           const std::vector<SentCount>& sent = {});

// ParseRetryState - the entries of a file written by RetryStateText, or nothing (with the reason in
// problem) when the text is not such a file, whole; the tally's minutes go to sent when given. A
// line that begins with a word this reader does not know was added by a later version and is
// skipped, so additions need no new header. Times are not taken blindly: a next attempt beyond the
// longest wait from now (a wall clock set back) is brought to it, a first refusal or a minute of
// the tally in the future to now.
std::optional<std::vector<RetryEntry>> ParseRetryState(std::string_view text,
                                                       const RetryClocks& now,
                                                       std::string& problem,
                                                       std::vector<SentCount>* sent = nullptr);

// RetryStateFile - where a schedule is read from at start and written to after each change.
class RetryStateFile {
public:
    explicit RetryStateFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }

    // Load - the schedule takes the file's entries. No file: nothing kept. A file that cannot be
    // used (not a regular file of this user, unreadable, damaged, foreign) is renamed with
    // ".damaged" appended, a warning record says so, and nothing is kept. Never throws.
    void Load(RetrySchedule& schedule) const;

    // Peek - the file's entries, read without changing anything (a damaged file stays where it is):
    // none when there is no file; nothing, with the reason in problem, when it cannot be used.
    // Never throws (but std::bad_alloc).
    std::optional<std::vector<RetryEntry>> Peek(const RetryClocks& now, std::string& problem) const;

    // Save - writes the schedule's entries atomically; false when that failed. A failure gets one
    // warning record (another only after a write succeeded again); the schedule in memory stays
    // right. Never throws.
    bool Save(const RetrySchedule& schedule);

private:
    std::string path_;
    bool saveFailureNoted_ = false;
};

}  // namespace tessel::cycle
