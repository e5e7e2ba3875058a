#include "cycle/settings.h"

#include <algorithm>

#include "smtp/helo_name.h"
#include "util/event_log.h"
#include "util/parse_integer.h"
#include "util/record_text.h"

namespace tessel::cycle {
namespace {

// ReadCount - a setting that counts something: the default unless a whole number of at least 0.
std::int32_t ReadCount(db::Database& db, const std::string& key, std::int32_t defaultValue) {
    std::int32_t value = ParseInteger(ReadSetting(db, key), defaultValue);
    return value < 0 ? defaultValue : value;
}

// ReadHeloName - email.helo without surrounding blanks; a value that cannot stand in an EHLO
// command is dropped with a warning (the host name is sent as before).
std::string ReadHeloName(db::Database& db) {
    const std::string value = ReadSetting(db, "email.helo");
    const std::size_t first = value.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    std::string name = value.substr(first, value.find_last_not_of(" \t") - first + 1);
    if (name.size() > smtp::kLongestHeloName) {
        WriteWarning(kServiceSource, "The setting email.helo is longer than " + std::to_string(smtp::kLongestHeloName) +
                                         " bytes: the machine's host name is sent instead");
        return "";
    }
    if (smtp::IsUsableHeloName(name)) return name;
    WriteWarning(kServiceSource, "The setting email.helo is not a host name (it holds a blank, a control "
                                 "byte or a byte above 126): the machine's host name is sent instead");
    return "";
}

// ReadLimit - a limit that is off when empty or 0; anything but a whole number from 0 up is a
// problem of key (and leaves the limit off: nothing is sent while there are problems).
std::int32_t ReadLimit(db::Database& db, const std::string& key, std::vector<smtp::SettingProblem>& problems) {
    const std::string text = ReadSetting(db, key);
    if (text.find_first_not_of(" \t") == std::string::npos) return 0;
    std::optional<std::int32_t> value = TryParseInteger(text);
    if (value && *value >= 0) return *value;
    problems.push_back({key, "\"" + RecordText(text) + "\" is not a whole number from 0 up"});
    return 0;
}

}  // namespace

std::optional<std::chrono::milliseconds> ParseWatchInterval(const std::string& text, std::string& problem) {
    if (text.find_first_not_of(" \t") == std::string::npos) return std::nullopt;
    std::optional<std::int32_t> value = TryParseInteger(text);
    if (value && *value == 0) return std::nullopt;
    if (value && *value >= kShortestWatch.count() && *value <= kLongestWatch.count()) {
        return std::chrono::milliseconds(*value);
    }
    problem = "\"" + RecordText(text) + "\" is not a whole number of milliseconds from " +
              std::to_string(kShortestWatch.count()) + " to " + std::to_string(kLongestWatch.count());
    return std::nullopt;
}

std::string ReadSetting(db::Database& db, const std::string& key) {
    db::Statement& q = db.Configs();
    q.SetString("prop", key);
    q.Open();
    std::string value = q.ReadText("Valor");
    q.Close();
    return value;
}

CycleSettings ReadSmtpSettings(db::Database& db, bool evenWhenHeld) {
    CycleSettings settings;
    SmtpSettings& smtp = settings.Smtp;
    smtp.Host = ReadSetting(db, "email.servidor");
    smtp.Port = ParseInteger(ReadSetting(db, "email.porta"), kDefaultSmtpPort);
    smtp.UserName = ReadSetting(db, "email.user");
    smtp.Password = ReadSetting(db, "email.pass");
    smtp.SenderAddress = ReadSetting(db, "email.remetente");
    smtp.UseTls = ParseInteger(ReadSetting(db, "email.ssl")) == 1;
    settings.Hold = ParseInteger(ReadSetting(db, "email.outlook"), 0) == 1;
    if (settings.Hold && !evenWhenHeld) return settings;
    smtp.RetryHours = ReadRetryHours(db);
    settings.AlarmCatchupMinutes =
        std::min(ReadCount(db, "alarm.catchup.minutes", kDefaultAlarmCatchupMinutes), kLongestAlarmCatchupMinutes);
    settings.LogDays = ReadCount(db, "log.days", settings.LogDays);
    smtp.AuthMechanism = ReadSetting(db, "email.auth");
    smtp.OAuth.TokenUrl = ReadSetting(db, "email.oauth.url");
    smtp.OAuth.ClientId = ReadSetting(db, "email.oauth.client");
    smtp.OAuth.ClientSecret = ReadSetting(db, "email.oauth.secret");
    smtp.OAuth.Scope = ReadSetting(db, "email.oauth.scope");
    smtp.OAuth.RefreshToken = ReadSetting(db, "email.oauth.refresh");
    smtp.OAuth.CaPath = ReadSetting(db, "email.oauth.ca");
    smtp.OAuth.KeyFile = ReadSetting(db, "email.oauth.key");
    if (!smtp.OAuth.KeyFile.empty()) smtp.OAuth.Subject = smtp.UserName;
    smtp.Helo = ReadHeloName(db);
    smtp.TlsVerify = ParseInteger(ReadSetting(db, "email.tls.verify"), 0) == 1;
    smtp.TlsCa = ReadSetting(db, "email.tls.ca");
    smtp.TlsPins = ReadSetting(db, "email.tls.pin");
    smtp.ImplicitTls = ParseInteger(ReadSetting(db, "email.tls.implicit"), 0) == 1;
    smtp.MessagesPerSession = std::max(1, ParseInteger(ReadSetting(db, "email.reuse"), 1));
    const std::int32_t lease = ParseInteger(ReadSetting(db, "service.lease.seconds"), kDefaultLeaseSeconds);
    settings.LeaseSeconds = lease < 1 ? kDefaultLeaseSeconds : std::min(lease, kLongestLeaseSeconds);
    settings.Problems = smtp::TransportProblems(smtp);
    smtp.MessagesPerMinute = ReadLimit(db, "email.rate", settings.Problems);
    smtp.RecipientsPerDay = ReadLimit(db, "email.rate.day", settings.Problems);
    settings.Watch = ParseWatchInterval(ReadSetting(db, "cycle.watch"), settings.WatchProblem);
    return settings;
}

std::int32_t ReadRetryHours(db::Database& db) { return ReadCount(db, "email.retry.hours", kDefaultRetryHours); }

SmsGatewaySettings ReadSmsGatewaySettings(db::Database& db) {
    SmsGatewaySettings sms;
    sms.Prefix = ReadSetting(db, "sms.prefix");
    sms.User = ReadSetting(db, "sms.user");
    sms.Password = ReadSetting(db, "sms.password");
    sms.ApiId = ReadSetting(db, "sms.idapi");
    return sms;
}

}  // namespace tessel::cycle
