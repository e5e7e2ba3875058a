#include "smtp/helo_name.h"

#include <algorithm>

#include "smtp/smtp_client.h"

namespace tessel::smtp {

bool IsUsableHeloName(std::string_view name) {
    return !name.empty() && name.size() <= kLongestHeloName && std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

std::string HeloName(const SmtpAccount& account) {
    return IsUsableHeloName(account.Helo) ? account.Helo : LocalHostName();
}

}  // namespace tessel::smtp
