#include "service/queue_listing.h"

#include <ctime>
#include <limits>
#include <map>
#include <ostream>

#include "config/startup_config.h"
#include "cycle/retry_state_file.h"
#include "cycle/settings.h"
#include "db/database.h"
#include "service/check_mode.h"
#include "util/explode.h"
#include "util/record_text.h"

namespace tessel::service {
namespace {

using WallTime = std::chrono::system_clock::time_point;

struct Column {
    std::string_view Title;
    std::size_t Width;
};
// Columns ID, sender, recipients, subject, attachments, attempts, last reply, next attempt, give-up.
constexpr Column kColumns[] = {{"ID", 8},    {"Sender", 30},      {"Rcpt", 5},          {"Subject", 30}, {"Att", 4},
                               {"Tries", 6}, {"Last reply", 34}, {"Next attempt", 18}, {"Give up", 16}};

// Cell - text cut to fit width (with "..." when cut), padded to it plus a blank.
std::string Cell(std::string text, std::size_t width) {
    if (text.size() > width) text = text.substr(0, width - 3) + "...";
    text.resize(width + 1, ' ');
    return text;
}

std::string Line(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) line += Cell(cells[i], kColumns[i].Width);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string LocalTime(WallTime at) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

std::size_t CountEntries(std::string_view list) {
    std::size_t count = 0;
    for (const std::string& entry : Explode(";", list, 0)) {
        if (entry.find_first_not_of(" \t") != std::string::npos) ++count;
    }
    return count;
}

// RetryByRow - the file's entries in wall-clock time, by row; empty with a note on out when the file
// cannot be used.
std::map<std::int32_t, RowRetry> RetryByRow(const std::string& path, std::int32_t retryHours, std::ostream& out) {
    const cycle::RetryClocks now{std::chrono::system_clock::now(), cycle::SteadyRetryClock()()};
    auto wall = [&now](cycle::RetryTime at) {
        return now.Wall + std::chrono::duration_cast<WallTime::duration>(at - now.Steady);
    };
    std::string problem;
    std::optional<std::vector<cycle::RetryEntry>> entries = cycle::RetryStateFile(path).Peek(now, problem);
    std::map<std::int32_t, RowRetry> rows;
    if (!entries) {
        out << "The retry state file " << path << " cannot be used (" << problem
            << "): the rows are shown without it\n";
        return rows;
    }
    for (const cycle::RetryEntry& entry : *entries) {
        RowRetry& row = rows[entry.Id];
        row.Attempts = entry.Attempts;
        if (entry.NextAttempt && *entry.NextAttempt > now.Steady) row.NextAttempt = wall(*entry.NextAttempt);
        if (entry.Refused && retryHours > 0) row.GiveUp = wall(entry.Refused->At) + std::chrono::hours(retryHours);
        row.LastReply = entry.LastReply;
    }
    return rows;
}

struct QueueSummary {
    std::size_t Rows = 0, Waiting = 0, Refused = 0;
};

}  // namespace

std::string QueueHeading() {
    std::vector<std::string> titles;
    for (const Column& column : kColumns) titles.emplace_back(column.Title);
    return Line(titles);
}

std::string QueueLine(const QueuedRow& row, const std::optional<RowRetry>& retry, WallTime now) {
    std::string next = "now", giveUp = "-", attempts = "0", reply = "-";
    if (retry) {
        attempts = std::to_string(retry->Attempts);
        if (retry->NextAttempt && *retry->NextAttempt > now) next = LocalTime(*retry->NextAttempt);
        if (retry->GiveUp) giveUp = LocalTime(*retry->GiveUp);
        if (!retry->LastReply.empty()) reply = RecordText(retry->LastReply);
    }
    return Line({std::to_string(row.Id), RecordText(row.Sender), std::to_string(row.Recipients),
                 RecordText(row.Subject), std::to_string(row.Attachments), attempts, reply, next, giveUp});
}

int RunQueueListing(const config::FileLocations& locations, std::ostream& out, std::ostream& err) noexcept {
    int status = kExitCheckConfigFile;
    bool connected = false;
    try {
        config::CheckGivenLocations(locations);
        db::Database db;
        db.SetParameters(config::ReadStartupConfiguration(config::ConfigFilePath(locations)));
        // From here on every database failure (a lost session, a missing table or privilege) is the
        // database's, not the configuration's.
        status = kExitCheckDatabase;
        db.Connect();
        connected = true;
        const std::string statePath = config::StateDirectory(locations) + std::string(cycle::kRetryStateFileName);
        std::map<std::int32_t, RowRetry> retry = RetryByRow(statePath, cycle::ReadRetryHours(db), out);
        const WallTime now = std::chrono::system_clock::now();
        QueueSummary summary;
        out << QueueHeading() << "\n";
        db::Statement& q = db.ListMail();
        for (std::int32_t after = std::numeric_limits<std::int32_t>::min();;) {
            q.SetInteger("after", after);
            q.Open();
            if (q.Empty()) break;
            for (; !q.AtEnd(); q.Next()) {
                QueuedRow row{q.ReadInteger("ID"), q.ReadText("Remetente"), CountEntries(q.ReadView("Destinatario")),
                              q.ReadText("Assunto"), CountEntries(q.ReadView("Anexos"))};
                after = row.Id;
                auto found = retry.find(row.Id);
                std::optional<RowRetry> state;
                if (found != retry.end()) state = found->second;
                ++summary.Rows;
                if (state && state->NextAttempt && *state->NextAttempt > now) ++summary.Waiting;
                if (state && state->GiveUp) ++summary.Refused;
                out << QueueLine(row, state, now) << "\n";
            }
            q.Close();
        }
        q.Close();
        db.Disconnect();
        out << summary.Rows << " queued rows: " << summary.Waiting << " in back-off, " << summary.Refused
            << " with a temporary refusal (retry state: " << statePath << ")\n"
            << std::flush;
        return 0;
    } catch (const std::exception& e) {
        try {
            const char* what = status != kExitCheckDatabase ? ""
                               : connected               ? "the database could not be read: "
                                                         : "the database could not be reached: ";
            err << "tesselcomsvc: " << what
                << e.what() << "\n"
                << std::flush;
        } catch (...) {
        }
        return status;
    }
}

}  // namespace tessel::service
