// The run-time settings of the `configs` table, read afresh at every cycle.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/database.h"
#include "smtp/smtp_account.h"
#include "smtp/transport_check.h"

namespace tessel::cycle {

inline constexpr std::int32_t kDefaultSmtpPort = 25;
// kDefaultRetryHours - how long the temporarily refused recipients of a row are retried.
inline constexpr std::int32_t kDefaultRetryHours = 120;
// kDefaultAlarmCatchupMinutes - how far back the alarm selection looks for alarms not yet sent.
inline constexpr std::int32_t kDefaultAlarmCatchupMinutes = 1440;
// kDefaultLeaseSeconds - how long the lease of the active instance lasts without a renewal.
inline constexpr std::int32_t kDefaultLeaseSeconds = 60;
// kLongestLeaseSeconds - a longer lease is cut to this (a day).
inline constexpr std::int32_t kLongestLeaseSeconds = 24 * 60 * 60;
// kLongestAlarmCatchupMinutes - a longer window is cut to this (ten years).
inline constexpr std::int32_t kLongestAlarmCatchupMinutes = 10 * 366 * 24 * 60;

// SmtpSettings - the mail server and account of one cycle (the password stored in plain text), and
// the sender of alarm messages.
struct SmtpSettings : smtp::SmtpAccount {
    std::string SenderAddress;  // Remetente of the rows queued for alarms
    // email.retry.hours: temporarily refused recipients are retried this long after the row's
    // first such refusal; 0: not retried (they fail at once).
    std::int32_t RetryHours = kDefaultRetryHours;
    // email.rate: at most this many messages a minute, spread evenly; 0: as fast as the link allows.
    std::int32_t MessagesPerMinute = 0;
    // email.rate.day: at most this many recipients in any 24 hours; 0: no limit.
    std::int32_t RecipientsPerDay = 0;
};

// CycleSettings - the email. settings: the SMTP settings and the hold switch.
struct CycleSettings {
    SmtpSettings Smtp;
    bool Hold = false;  // email.outlook = 1: the cycle stops after reading the settings
    // alarm.catchup.minutes: alarms due up to this many minutes before the current minute are
    // still dispatched; 0: only those of the current minute.
    std::int32_t AlarmCatchupMinutes = kDefaultAlarmCatchupMinutes;
    // log.days: rows of the delivery log mail_log older than this are removed; 0 keeps them.
    std::int32_t LogDays = 30;
    // cycle.watch: between cycles the queue and the alarms are looked at this often, and a cycle
    // starts at once when there is work; nothing: the cycles keep their own rhythm only.
    std::optional<std::chrono::milliseconds> Watch;
    std::string WatchProblem;  // what is wrong with cycle.watch when it cannot be used
    // service.lease.seconds: how long the lease of the active instance lasts without a renewal.
    std::int32_t LeaseSeconds = kDefaultLeaseSeconds;
    // The SMTP settings that cannot be used (TransportProblems); while there are any, no mail is sent.
    std::vector<smtp::SettingProblem> Problems;
};

// SmsGatewaySettings - the account at the e-mail-to-SMS gateway.
struct SmsGatewaySettings {
    std::string Prefix;
    std::string User;
    std::string Password;
    std::string ApiId;
};

// ReadSetting - the Valor of the first row whose Propriedade is key; empty when there is none.
// Throws DatabaseError / StatementError.
std::string ReadSetting(db::Database& db, const std::string& key);

// ReadSmtpSettings - email.servidor, .porta (lenient, 25), .user, .pass, .remetente, .ssl (strict:
// on for 1) and .outlook (lenient, 0: on for 1), read in this order; then, unless the hold switch
// is on, email.retry.hours and alarm.catchup.minutes (a missing, empty, negative or non-integer
// value gives the default), the authentication settings email.auth and email.oauth.url,
// .client, .secret, .scope, .refresh, .ca (as texts; empty when missing), email.helo (trimmed;
// a value that is not a usable name, or longer than 255 bytes, is dropped with a warning record), and the TLS checks
// email.tls.verify, .ca, .pin and .implicit (lenient, on for 1; empty keys leave them off), and
// email.reuse (lenient, 1; below 1 counts as 1: messages per SMTP session), the limits email.rate
// and email.rate.day (empty or 0: none; anything but a whole number from 0 up is a problem),
// cycle.watch (see ParseWatchInterval) and service.lease.seconds (the default for a missing, empty,
// non-integer or non-positive value; at most a day); then checks them (TransportProblems into
// Problems). With evenWhenHeld the settings after the hold switch are read also while it is on.
// Throws ConversionError when email.ssl is not an integer (the hold switch is then not read),
// DatabaseError, StatementError.
CycleSettings ReadSmtpSettings(db::Database& db, bool evenWhenHeld = false);

// ReadRetryHours - email.retry.hours (a missing, empty, negative or non-integer value gives the
// default). Throws DatabaseError / StatementError.
std::int32_t ReadRetryHours(db::Database& db);

// kShortestWatch, kLongestWatch - the range of cycle.watch in milliseconds: more often would cost
// the database more than it gains, less often than the cycles' own rhythm gains nothing.
inline constexpr std::chrono::milliseconds kShortestWatch{100};
inline constexpr std::chrono::milliseconds kLongestWatch{30000};

// ParseWatchInterval - cycle.watch from its text: nothing when empty or 0; a whole number of
// milliseconds within kShortestWatch..kLongestWatch. Anything else puts a problem in problem and
// gives nothing. Never throws (but std::bad_alloc).
std::optional<std::chrono::milliseconds> ParseWatchInterval(const std::string& text, std::string& problem);

// ReadSmsGatewaySettings - sms.prefix, sms.user, sms.password, sms.idapi, in this order; a missing
// key is empty. Throws DatabaseError / StatementError.
SmsGatewaySettings ReadSmsGatewaySettings(db::Database& db);

}  // namespace tessel::cycle
