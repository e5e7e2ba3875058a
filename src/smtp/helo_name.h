// The name this client announces in EHLO/HELO.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "smtp/smtp_account.h"

namespace tessel::smtp {

// kLongestHeloName - a longer name is no host name (a domain name has at most 255 bytes), and would
// make the EHLO line and the Message-ID line longer than their limits.
inline constexpr std::size_t kLongestHeloName = 255;

// IsUsableHeloName - not empty, at most kLongestHeloName bytes, and only printable ASCII without
// blanks (a host name or an address literal): anything else would break the EHLO command line.
// Never throws.
bool IsUsableHeloName(std::string_view name);

// HeloName - the account's Helo when it is usable, else LocalHostName(). Never throws.
std::string HeloName(const SmtpAccount& account);

}  // namespace tessel::smtp
