#include "cycle/settings.h"

#include "util/parse_integer.h"

namespace tessel::cycle {

std::string ReadSetting(db::Database& db, const std::string& key) {
    db::Statement& q = db.Configs();
    q.SetString("prop", key);
    q.Open();
    std::string value = q.ReadText("Valor");
    q.Close();
    return value;
}

CycleSettings ReadSmtpSettings(db::Database& db) {
    CycleSettings settings;
    SmtpSettings& smtp = settings.Smtp;
    smtp.Host = ReadSetting(db, "email.servidor");
    smtp.Port = ParseInteger(ReadSetting(db, "email.porta"), kDefaultSmtpPort);
    smtp.UserName = ReadSetting(db, "email.user");
    smtp.Password = ReadSetting(db, "email.pass");
    smtp.SenderAddress = ReadSetting(db, "email.remetente");
    smtp.UseTls = ParseInteger(ReadSetting(db, "email.ssl")) == 1;
    settings.Hold = ParseInteger(ReadSetting(db, "email.outlook"), 0) == 1;
    return settings;
}

SmsGatewaySettings ReadSmsGatewaySettings(db::Database& db) {
    SmsGatewaySettings sms;
    sms.Prefix = ReadSetting(db, "sms.prefix");
    sms.User = ReadSetting(db, "sms.user");
    sms.Password = ReadSetting(db, "sms.password");
    sms.ApiId = ReadSetting(db, "sms.idapi");
    return sms;
}

}  // namespace tessel::cycle
