// What --check says about a failed step: which step it was, and the setting to look at.
#pragma once

#include <string>
#include <string_view>

#include "smtp/delivery_result.h"
#include "smtp/smtp_account.h"

namespace tessel::service {

// CheckStep - the steps of --check (and --send-test), in the order they may be printed.
enum class CheckStep {
    ConfigFile, Database, Settings, Token, Connect, Tls, Greeting, Hello, Auth, Message, Quit,
};

// StepName - the step as its line names it: "configs.ini", "database", "settings", "token",
// "connect", "TLS", "greeting", "EHLO", "AUTH", "message", "QUIT".
std::string_view StepName(CheckStep step);

// FailedStep - the step in which the session of failure ended. connected: the connection was made
// (an implicit TLS handshake that fails then is the TLS step, not the connect).
CheckStep FailedStep(const smtp::DeliveryResult& failure, bool connected);

// SessionAdvice - the setting (or settings) to look at for a session that failed in step, with a
// few words on why; empty when no setting can help (the server ended its session badly).
std::string SessionAdvice(CheckStep step, const smtp::DeliveryResult& failure, const smtp::SmtpAccount& account);

// TokenAdvice - the OAuth setting to look at for a token request that failed with error (the
// OAuthError's text): from an AADSTS code in it, else from the RFC 6749 error name.
std::string TokenAdvice(std::string_view error);

// UsesXOAuth2 - the session authenticates with a token: a user is set, a token source is configured,
// and email.auth is empty or xoauth2.
bool UsesXOAuth2(const smtp::SmtpAccount& account);

}  // namespace tessel::service
