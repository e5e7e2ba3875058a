// Turning the alarms due in the current minute into queued e-mail and SMS gateway messages.
#pragma once

#include <string>

#include "cycle/local_clock.h"
#include "cycle/settings.h"
#include "db/database.h"

namespace tessel::cycle {

// The e-mail intake address of the Clickatell e-mail-to-SMS gateway.
inline constexpr const char* kGatewayIntakeAddress = "sms@messaging.clickatell.com";

// BuildGatewayBody - "user:", "password:", "api_id:", "to: " + prefix + destination and "text:",
// each followed directly by its value, separated by single CR bytes; nothing trimmed or escaped.
std::string BuildGatewayBody(const SmsGatewaySettings& sms, const std::string& destination,
                             const std::string& text);

// DispatchAlarms - reads the clock once; for each alarm of that date, hour and minute with Email
// or SMS set to 1: queues its e-mail (Email = 1) and one gateway message per SMSDest entry
// (SMS = 1), all with senderAddress as Remetente; then keeps the alarm with both flags cleared
// (Alarme = 1) or deletes it. Throws DatabaseError / StatementError.
void DispatchAlarms(db::Database& db, const std::string& senderAddress, const LocalClock& clock);

}  // namespace tessel::cycle
