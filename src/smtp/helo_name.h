// The name this client announces in EHLO/HELO.
#pragma once

#include <string>
#include <string_view>

#include "smtp/smtp_account.h"

namespace tessel::smtp {

// IsUsableHeloName - not empty and only printable ASCII without blanks (a host name or an
// address literal): anything else would break the EHLO command line. Never throws.
bool IsUsableHeloName(std::string_view name);

// HeloName - the account's Helo when it is usable, else LocalHostName(). Never throws.
std::string HeloName(const SmtpAccount& account);

}  // namespace tessel::smtp
