// SMTP authentication (RFC 4954): which mechanism a session uses, and its dialogue.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/oauth_token.h"
#include "smtp/smtp_account.h"
#include "smtp/smtp_reply.h"
#include "util/error.h"

namespace tessel::smtp {

enum class AuthMechanism { None, Login, Plain, XOAuth2 };

// AuthError - the configured mechanism cannot be used with this server or is not known.
class AuthError : public tessel::Error {
public:
    using tessel::Error::Error;
};

// ChooseMechanism - the mechanism for account given the mechanisms the server offers (upper case).
// An empty account.AuthMechanism chooses: XOAUTH2 when an OAuth token endpoint or key is set, else LOGIN,
// else PLAIN, else None (no authentication, as with a server that offers none of them). "login",
// "plain" or "xoauth2" (any case) insist on that mechanism. Throws AuthError when the mechanism
// insisted on (or XOAUTH2 for a token endpoint) is not offered, when the setting is not one of
// those names, or when XOAUTH2 is asked for without a token endpoint.
AuthMechanism ChooseMechanism(const SmtpAccount& account, const std::vector<std::string>& offered);

// SmtpExchange - the session's command exchange: sends one command line, reads the reply, throws
// SmtpReplyError when its code is not among the allowed ones (any code when the list is empty).
using SmtpExchange =
    std::function<SmtpReply(const std::string& command, std::initializer_list<int> allowed, std::string_view label)>;

// XOAuth2String - user=<user>^Aauth=Bearer <token>^A^A, before base64.
std::string XOAuth2String(const std::string& user, const std::string& token);

// AuthenticateSession - runs the chosen mechanism's dialogue through exchange; false when no
// mechanism applies. LOGIN: user name and password each in answer to a 334. PLAIN: the initial
// response (no authorisation identity) with the command. XOAUTH2: the token from tokens with the
// command; a 334 challenge gets an empty line, then the refusal is read; a token the server refuses
// is dropped from tokens. Throws AuthError, OAuthError, SmtpReplyError and whatever exchange throws.
bool AuthenticateSession(const SmtpExchange& exchange, const std::vector<std::string>& offered,
                         const SmtpAccount& account, const TokenTimeouts& timeouts,
                         TokenCache& tokens = ProcessTokenCache());

}  // namespace tessel::smtp
