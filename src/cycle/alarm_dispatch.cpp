#include "cycle/alarm_dispatch.h"

#include <cstdio>

#include "cycle/recipient_list.h"
#include "db/database_error.h"
#include "db/transaction.h"
#include "util/event_log.h"
#include "util/explode.h"

namespace tessel::cycle {
namespace {

constexpr const char* kListSeparator = ";";

void QueueMail(db::Database& db, const std::string& sender, const std::string& recipients,
               const std::string& subject, const std::string& body, const std::string& attachments) {
    db::Statement& q = db.NewMail();
    q.SetString("remetente", sender);
    q.SetString("destinatario", recipients);
    q.SetString("assunto", subject);
    q.SetString("texto", body);
    q.SetString("anexos", attachments);
    q.Execute();
}

std::string DescribeAlarm(std::int32_t id, const std::string& recipients) {
    return "Alarm " + std::to_string(id) + " to \"" + recipients + "\"";
}

// QueueEmail - the alarm's e-mail, as one row per part of EmailDest that fits the column.
void QueueEmail(db::Database& db, const std::string& sender, const db::Statement& alarm) {
    std::string recipients = alarm.ReadText("EmailDest");
    FittedLists fitted = FitRecipientList(recipients);
    for (const std::string& address : fitted.TooLong) {
        WriteWarning(kServiceSource, DescribeAlarm(alarm.ReadInteger("ID"), address) +
                                         ": the address is longer than " +
                                         std::to_string(kRecipientColumnBytes) + " characters and is left out");
    }
    for (const std::string& list : fitted.Lists) {
        QueueMail(db, sender, list, alarm.ReadText("EmailAssunto"), alarm.ReadText("EmailTexto"),
                  alarm.ReadText("EmailAnexo"));
    }
}

void QueueSms(db::Database& db, const std::string& sender, const db::Statement& alarm) {
    SmsGatewaySettings sms = ReadSmsGatewaySettings(db);
    std::string text = alarm.ReadText("SMSTexto");
    for (const std::string& destination : Explode(kListSeparator, alarm.ReadText("SMSDest"), 0)) {
        QueueMail(db, sender, kGatewayIntakeAddress, "", BuildGatewayBody(sms, destination, text), "");
    }
}

void MarkAlarm(db::Database& db, const db::Statement& alarm) {
    // Alarme 1 keeps the row as a record; any other value (NULL too) removes it.
    db::Statement& q = alarm.ReadInteger("Alarme") == 1 ? db.UpdateAlarme() : db.DeleteAlarme();
    q.SetInteger("id", alarm.ReadInteger("ID"));
    q.Execute();
}

// ConfirmedIn - the instance's right confirmed inside the open transaction, when the right asks
// for that (none given: the session's lock, which needs no confirmation).
bool ConfirmedIn(db::Database& db, WorkRight* right) {
    return right == nullptr || !right->Fenced() || right->ConfirmIn(db);
}

// DispatchAlarm - the alarm's rows and its mark, committed together with the confirmation of the
// instance's right. False when the right is lost (nothing changed).
bool DispatchAlarm(db::Database& db, const std::string& sender, const db::Statement& alarm, WorkRight* right) {
    db::Transaction transaction(db.Cn());
    if (alarm.ReadInteger("Email") == 1) QueueEmail(db, sender, alarm);
    if (alarm.ReadInteger("SMS") == 1) QueueSms(db, sender, alarm);
    MarkAlarm(db, alarm);
    if (!ConfirmedIn(db, right)) return false;
    transaction.Commit();
    return true;
}

// SkipAlarm - an alarm whose values the server refused: marked without its rows, so that it does
// not fail again at every cycle. False when the right is lost (nothing changed).
bool SkipAlarm(db::Database& db, const db::Statement& alarm, const db::DatabaseError& refusal, WorkRight* right) {
    std::string name = DescribeAlarm(alarm.ReadInteger("ID"), alarm.ReadText("EmailDest"));
    WriteWarning(kServiceSource, name + " skipped: the database refused its values: " + refusal.what());
    try {
        db::Transaction transaction(db.Cn());
        MarkAlarm(db, alarm);
        if (!ConfirmedIn(db, right)) return false;
        transaction.Commit();
    } catch (const db::DatabaseError& e) {
        if (!db::IsDataError(e.Number())) throw;
        WriteWarning(kServiceSource, name + " could not be marked as sent: " + e.what());
    }
    return true;
}

// StopDispatching - the right was lost: the alarms left wait for the instance that has it.
void StopDispatching(const WorkRight& right) {
    WriteWarning(kServiceSource, "This instance no longer holds " + right.Name() +
                                     ": it dispatches no more alarms, another instance does");
}

std::string Minute(std::chrono::local_time<std::chrono::minutes> at) {
    using namespace std::chrono;
    auto day = floor<days>(at);
    year_month_day date(day);
    hh_mm_ss<minutes> time(at - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:00", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()));
    return text;
}

}  // namespace

std::string BuildGatewayBody(const SmsGatewaySettings& sms, const std::string& destination,
                             const std::string& text) {
    return "user:" + sms.User + "\rpassword:" + sms.Password + "\rapi_id:" + sms.ApiId +
           "\rto: " + sms.Prefix + destination + "\rtext:" + text;
}

AlarmWindow AlarmWindowEnding(const LocalDateTime& now, std::int32_t catchupMinutes) {
    using namespace std::chrono;
    local_time<minutes> current = local_days(now.Date) + hours(now.Hour) + minutes(now.Minute);
    local_time<minutes> first = current - minutes(catchupMinutes);
    local_time<minutes> until = current + minutes(1);
    return {year_month_day(floor<days>(first)), now.Date, Minute(first), Minute(until)};
}

std::uint64_t DispatchAlarms(db::Database& db, const std::string& senderAddress,
                             const LocalClock& clock, std::int32_t catchupMinutes, WorkRight* right) {
    std::uint64_t dispatched = 0;
    LocalDateTime now = clock();
    db::Statement* selection = &db.Alarmes();
    if (catchupMinutes > 0) {
        AlarmWindow window = AlarmWindowEnding(now, catchupMinutes);
        selection = &db.AlarmesBetween();
        selection->SetDate("desde_dia", window.FirstDay);
        selection->SetDate("ate_dia", window.LastDay);
        selection->SetString("desde", window.From);
        selection->SetString("ate", window.Until);
    } else {
        selection->SetDate("data", now.Date);
        selection->SetInteger("hora", now.Hour);
        selection->SetInteger("minuto", now.Minute);
    }
    db::Statement& alarms = *selection;
    alarms.Open();
    for (; !alarms.AtEnd(); alarms.Next()) {
        bool held = true;
        try {
            held = (right == nullptr || right->StillHeld()) && DispatchAlarm(db, senderAddress, alarms, right);
            if (held) ++dispatched;
        } catch (const db::DatabaseError& e) {
            if (db::IsLockConflict(e.Number())) {
                // Another session holds the alarm: nothing of it is queued; a later cycle tries again.
                WriteWarning(kServiceSource, DescribeAlarm(alarms.ReadInteger("ID"), alarms.ReadText("EmailDest")) +
                                                 " left for a later cycle: " + e.what());
                continue;
            }
            if (!db::IsDataError(e.Number())) throw;
            held = SkipAlarm(db, alarms, e, right);
        }
        if (!held) {
            StopDispatching(*right);
            break;
        }
    }
    alarms.Close();
    return dispatched;
}

}  // namespace tessel::cycle
