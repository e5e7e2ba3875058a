#include "cycle/alarm_dispatch.h"

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

}  // namespace

std::string BuildGatewayBody(const SmsGatewaySettings& sms, const std::string& destination,
                             const std::string& text) {
    return "user:" + sms.User + "\rpassword:" + sms.Password + "\rapi_id:" + sms.ApiId +
           "\rto: " + sms.Prefix + destination + "\rtext:" + text;
}

void DispatchAlarms(db::Database& db, const std::string& senderAddress, const LocalClock& clock) {
    LocalDateTime now = clock();
    db::Statement& alarms = db.Alarmes();
    alarms.SetDate("data", now.Date);
    alarms.SetInteger("hora", now.Hour);
    alarms.SetInteger("minuto", now.Minute);
    alarms.Open();
    for (; !alarms.AtEnd(); alarms.Next()) {
        if (alarms.ReadInteger("Email") == 1) {
            QueueMail(db, senderAddress, alarms.ReadText("EmailDest"), alarms.ReadText("EmailAssunto"),
                      alarms.ReadText("EmailTexto"), alarms.ReadText("EmailAnexo"));
        }
        if (alarms.ReadInteger("SMS") == 1) QueueSms(db, senderAddress, alarms);
        MarkAlarm(db, alarms);
    }
    alarms.Close();
}

}  // namespace tessel::cycle
