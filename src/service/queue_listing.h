// --queue: the queued mail and what this host's retry state says of each row, read only.
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "config/file_locations.h"
#include "cycle/retry_schedule.h"

namespace tessel::service {

// QueuedRow - one row of mail_spooler as the listing shows it.
struct QueuedRow {
    std::int32_t Id = 0;
    std::string Sender;
    std::size_t Recipients = 0;   // ";"-separated entries of Destinatario
    std::string Subject;
    std::size_t Attachments = 0;  // ";"-separated UIDs of Anexos
};

// RowRetry - the retry state of one row in wall-clock time.
struct RowRetry {
    int Attempts = 0;
    std::optional<std::chrono::system_clock::time_point> NextAttempt;  // in the future, when waiting
    std::optional<std::chrono::system_clock::time_point> GiveUp;       // when a refusal started the clock
    std::string LastReply;
};

// QueueLine - the listing's line for row (its retry state, if any, in retry); times in local time.
std::string QueueLine(const QueuedRow& row, const std::optional<RowRetry>& retry,
                      std::chrono::system_clock::time_point now);

// QueueHeading - the line above the rows.
std::string QueueHeading();

// RunQueueListing - reads configs.ini, connects to the database and lists every queued row, a page
// at a time, with the retry state of the file in the state directory (read, never changed or set
// aside), then a summary line. Nothing in the database is changed. Returns 0, 1 when configs.ini
// cannot be used, 2 when the database cannot be reached (one line on err). Never throws.
int RunQueueListing(const config::FileLocations& locations, std::ostream& out, std::ostream& err) noexcept;

}  // namespace tessel::service
