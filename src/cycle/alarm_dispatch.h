// Turning the alarms that have fallen due into queued e-mail and SMS gateway messages.
#pragma once

#include <cstdint>
#include <string>

#include "cycle/local_clock.h"
#include "cycle/settings.h"
#include "cycle/work_right.h"
#include "db/database.h"

namespace tessel::cycle {

// The e-mail intake address of the Clickatell e-mail-to-SMS gateway.
inline constexpr const char* kGatewayIntakeAddress = "sms@messaging.clickatell.com";

// BuildGatewayBody - "user:", "password:", "api_id:", "to: " + prefix + destination and "text:",
// each followed directly by its value, separated by single CR bytes; nothing trimmed or escaped.
std::string BuildGatewayBody(const SmsGatewaySettings& sms, const std::string& destination,
                             const std::string& text);

// AlarmWindow - the local date-times "YYYY-MM-DD HH:MM:00" from catchupMinutes before now's
// minute (included) to the minute after it (excluded), counted on the local clock's face.
struct AlarmWindow {
    std::chrono::year_month_day FirstDay, LastDay;
    std::string From, Until;
};
AlarmWindow AlarmWindowEnding(const LocalDateTime& now, std::int32_t catchupMinutes);

// DispatchAlarms - reads the clock once; for each alarm with Email or SMS set to 1 that fell due
// in the current minute or the catchupMinutes before it (0: the current minute only), in order of
// Data, Hora and ID: queues its e-mail (Email = 1; an EmailDest too long for one row as several
// rows) and one gateway message per SMSDest entry (SMS = 1), all with senderAddress as Remetente;
// then keeps the alarm with both flags cleared (Alarme = 1) or deletes it. An alarm's rows and its
// mark are one transaction. When the server refuses an alarm's values, none of its rows is queued,
// it is marked all the same and a warning names it; an alarm locked by another session is left,
// unmarked and without rows, for a later cycle (warning). With right, each alarm's transaction also
// confirms the instance's right, and once it is lost the dispatch ends (warning) with the alarms
// left as they are. Returns the number of alarms whose rows were queued. Throws DatabaseError for
// any other failure of a statement, StatementError.
std::uint64_t DispatchAlarms(db::Database& db, const std::string& senderAddress,
                             const LocalClock& clock, std::int32_t catchupMinutes = 0,
                             WorkRight* right = nullptr);

}  // namespace tessel::cycle
