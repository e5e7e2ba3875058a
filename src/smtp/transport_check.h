// The SMTP settings checked once, when they are read: a value that cannot be used is a
// configuration error, found before any connection rather than deep in a handshake.
#pragma once

#include <string>
#include <vector>

#include "smtp/smtp_account.h"

namespace tessel::smtp {

// SettingProblem - a setting (its key in `configs`) and what is wrong with its value (any value
// quoted in it is made safe for a record).
struct SettingProblem {
    std::string Key;
    std::string What;
};

// TransportProblems - every setting of account that a session would use and could not:
// email.tls.pin not a list of SHA-256 fingerprints (with TLS), email.tls.ca (with verification) or
// email.oauth.ca not a readable regular file or directory, email.auth none of login, plain,
// xoauth2 (xoauth2 needing email.oauth.url), email.oauth.url not https://. Empty when the account
// can be used. Never throws (but std::bad_alloc).
std::vector<SettingProblem> TransportProblems(const SmtpAccount& account);

}  // namespace tessel::smtp
