// The run-time settings of the `configs` table, read afresh at every cycle.
#pragma once

#include <cstdint>
#include <string>

#include "db/database.h"
#include "smtp/smtp_account.h"

namespace tessel::cycle {

inline constexpr std::int32_t kDefaultSmtpPort = 25;

// SmtpSettings - the mail server and account of one cycle (the password stored in plain text), and
// the sender of alarm messages.
struct SmtpSettings : smtp::SmtpAccount {
    std::string SenderAddress;  // Remetente of the rows queued for alarms
};

// CycleSettings - the seven email. settings: the SMTP settings and the hold switch.
struct CycleSettings {
    SmtpSettings Smtp;
    bool Hold = false;  // email.outlook = 1: the cycle stops after reading the settings
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
// on for 1) and .outlook (lenient, 0: on for 1), read in this order. Throws ConversionError when
// email.ssl is not an integer (the hold switch is then not read), DatabaseError, StatementError.
CycleSettings ReadSmtpSettings(db::Database& db);

// ReadSmsGatewaySettings - sms.prefix, sms.user, sms.password, sms.idapi, in this order; a missing
// key is empty. Throws DatabaseError / StatementError.
SmsGatewaySettings ReadSmsGatewaySettings(db::Database& db);

}  // namespace tessel::cycle
