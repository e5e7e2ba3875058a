#include "cycle/retry_state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <exception>

#include "util/error.h"
#include "util/event_log.h"
#include "util/replace_file.h"

namespace tessel::cycle {
namespace {

constexpr std::string_view kHeader = "tesselcomsvc retry state 1";
constexpr std::string_view kAbsent = "-";
constexpr std::size_t kFieldCount = 7;
// A line of the recipient tally: the tag, the minute, the count.
constexpr std::string_view kSentTag = "sent";
constexpr std::size_t kSentFieldCount = 3;
// A file larger than this was not written by the service (a row takes well under 1 KiB).
constexpr off_t kLargestFile = 64L * 1024 * 1024;
constexpr mode_t kFileMode = 0600;

using Millis = std::chrono::milliseconds;

std::int64_t WallMillis(RetryTime at, const RetryClocks& now) {
    auto wall = now.Wall + std::chrono::duration_cast<WallTime::duration>(at - now.Steady);
    return std::chrono::duration_cast<Millis>(wall.time_since_epoch()).count();
}

RetryTime SteadyOf(std::int64_t wallMillis, const RetryClocks& now) {
    auto wall = WallTime(std::chrono::duration_cast<WallTime::duration>(Millis(wallMillis)));
    return now.Steady + std::chrono::duration_cast<RetryTime::duration>(wall - now.Wall);
}

std::string OneLine(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return line;
}

std::string TimeField(const std::optional<RetryTime>& at, const RetryClocks& now) {
    return at ? std::to_string(WallMillis(*at, now)) : std::string(kAbsent);
}

std::optional<std::int64_t> Number(std::string_view field) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size() || field.empty()) return std::nullopt;
    return value;
}

// Fields - the tab-separated fields of line.
std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == line.npos ? line.npos : tab - start));
        if (tab == line.npos) return fields;
        start = tab + 1;
    }
}

// ParseEntry - one row's line, or nothing when a field is out of its range.
std::optional<RetryEntry> ParseEntry(std::string_view line, const RetryClocks& now) {
    std::vector<std::string_view> f = Fields(line);
    if (f.size() != kFieldCount) return std::nullopt;
    auto id = Number(f[0]);
    auto attempts = Number(f[1]);
    auto wait = Number(f[3]);
    if (!id || *id <= 0 || *id > INT32_MAX || !attempts || *attempts < 0 || *attempts > INT32_MAX ||
        !wait || *wait < kFirstBackOff.count() || *wait > kLongestBackOff.count()) {
        return std::nullopt;
    }
    RetryEntry entry;
    entry.Id = static_cast<std::int32_t>(*id);
    entry.Attempts = static_cast<int>(*attempts);
    entry.Wait = std::chrono::minutes(*wait);
    if (f[2] != kAbsent) {
        auto next = Number(f[2]);
        if (!next) return std::nullopt;
        entry.NextAttempt = std::min(SteadyOf(*next, now), now.Steady + kLongestBackOff);
    }
    if (f[4] != kAbsent) {
        auto first = Number(f[4]);
        if (!first) return std::nullopt;
        entry.Refused = FirstRefusal{std::min(SteadyOf(*first, now), now.Steady), std::string(f[5])};
    }
    entry.LastReply = std::string(f[6]);
    return entry;
}

// IsTaggedLine - a line that begins with a lower-case word rather than a row's ID.
bool IsTaggedLine(std::string_view line) { return !line.empty() && line[0] >= 'a' && line[0] <= 'z'; }

// ParseSentCount - one minute of the tally, or nothing when the line is damaged.
std::optional<SentCount> ParseSentCount(std::string_view line, const RetryClocks& now) {
    std::vector<std::string_view> f = Fields(line);
    if (f.size() != kSentFieldCount) return std::nullopt;
    auto minute = Number(f[1]);
    auto count = Number(f[2]);
    if (!minute || !count || *count <= 0) return std::nullopt;
    return SentCount{std::min(SteadyOf(*minute, now), now.Steady), *count};
}

// ReadOwnFile - the contents of path when it is a regular file of this user of a plausible size;
// nothing when there is no file; throws Error with the reason otherwise.
std::optional<std::string> ReadOwnFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) return std::nullopt;
    if (fd < 0) throw Error(SystemText(errno));
    struct Closer {
        int Fd;
        ~Closer() { ::close(Fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw Error(SystemText(errno));
    if (!S_ISREG(info.st_mode)) throw Error("not a regular file");
    if (info.st_uid != ::geteuid()) throw Error("owned by another user");
    if (info.st_size > kLargestFile) throw Error("too large");
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Error(SystemText(errno));
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

// ClocksOf - the wall clock and the schedule's own monotonic clock, read now.
RetryClocks ClocksOf(const RetrySchedule& schedule) {
    return {std::chrono::system_clock::now(), schedule.Now()};
}

}  // namespace

std::string RetryStateText(const std::vector<RetryEntry>& entries, const RetryClocks& now,
                           const std::vector<SentCount>& sent) {
    std::string text(kHeader);
    text += '\n';
    for (const RetryEntry& e : entries) {
        std::optional<RetryTime> first;
        if (e.Refused) first = e.Refused->At;
        text += std::to_string(e.Id) + '\t' + std::to_string(e.Attempts) + '\t' +
                TimeField(e.NextAttempt, now) + '\t' + std::to_string(e.Wait.count()) + '\t' +
                TimeField(first, now) + '\t' + OneLine(e.Refused ? e.Refused->Reply : "") + '\t' +
                OneLine(e.LastReply) + '\n';
    }
    for (const SentCount& minute : sent) {
        text += std::string(kSentTag) + '\t' + std::to_string(WallMillis(minute.Minute, now)) + '\t' +
                std::to_string(minute.Count) + '\n';
    }
    return text;
}

std::optional<std::vector<RetryEntry>> ParseRetryState(std::string_view text,
                                                       const RetryClocks& now,
                                                       std::string& problem,
                                                       std::vector<SentCount>* sent) {
    if (!text.starts_with(std::string(kHeader) + "\n")) {
        problem = "not a retry state file of this service";
        return std::nullopt;
    }
    if (!text.ends_with('\n')) {
        problem = "cut short";
        return std::nullopt;
    }
    std::vector<RetryEntry> entries;
    text.remove_prefix(kHeader.size() + 1);
    for (std::size_t lineNumber = 2; !text.empty(); ++lineNumber) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (IsTaggedLine(line)) {
            if (Fields(line)[0] != kSentTag) continue;
            std::optional<SentCount> minute = ParseSentCount(line, now);
            if (!minute) {
                problem = "line " + std::to_string(lineNumber) + " is damaged";
                return std::nullopt;
            }
            if (sent) sent->push_back(*minute);
            continue;
        }
        std::optional<RetryEntry> entry = ParseEntry(line, now);
        if (!entry) {
            problem = "line " + std::to_string(lineNumber) + " is damaged";
            return std::nullopt;
        }
        entries.push_back(std::move(*entry));
    }
    return entries;
}

void RetryStateFile::Load(RetrySchedule& schedule) const {
    std::string problem;
    try {
        std::optional<std::string> text = ReadOwnFile(path_);
        if (!text) return;
        std::vector<SentCount> sent;
        if (auto entries = ParseRetryState(*text, ClocksOf(schedule), problem, &sent)) {
            schedule.Restore(*entries);
            schedule.RestoreSent(sent);
            return;
        }
    } catch (const std::exception& e) {
        problem = e.what();
    }
    const std::string aside = path_ + ".damaged";
    std::string outcome = ::rename(path_.c_str(), aside.c_str()) == 0
                              ? "it was renamed " + aside
                              : "it could not be renamed (" + SystemText(errno) + ")";
    WriteWarning(kServiceSource, "The retry state file " + path_ + " cannot be used (" + problem +
                                     "): " + outcome +
                                     "; every queued row may be tried at once and its give-up "
                                     "clock starts again");
}

std::optional<std::vector<RetryEntry>> RetryStateFile::Peek(const RetryClocks& now,
                                                           std::string& problem) const {
    try {
        std::optional<std::string> text = ReadOwnFile(path_);
        if (!text) return std::vector<RetryEntry>{};
        return ParseRetryState(*text, now, problem);
    } catch (const std::exception& e) {
        problem = e.what();
        return std::nullopt;
    }
}

bool RetryStateFile::Save(const RetrySchedule& schedule) {
    try {
        ReplaceFile(path_, RetryStateText(schedule.Entries(), ClocksOf(schedule), schedule.Sent().Counts()),
                    kFileMode);
        saveFailureNoted_ = false;
        return true;
    } catch (const std::exception& e) {
        if (saveFailureNoted_) return false;
        saveFailureNoted_ = true;
        WriteWarning(kServiceSource, std::string(e.what()) +
                                         ": the retry state is kept in memory only, so a restart "
                                         "tries the waiting rows at once");
        return false;
    }
}

}  // namespace tessel::cycle
