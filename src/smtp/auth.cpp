#include "smtp/auth.h"

#include <algorithm>
#include <cctype>

#include "util/base64.h"
#include "util/ascii.h"

namespace tessel::smtp {
namespace {

constexpr char kSeparator = '\x01';  // between the XOAUTH2 fields

const char* Name(AuthMechanism mechanism) {
    switch (mechanism) {
        case AuthMechanism::Login: return "LOGIN";
        case AuthMechanism::Plain: return "PLAIN";
        case AuthMechanism::XOAuth2: return "XOAUTH2";
        case AuthMechanism::None: break;
    }
    return "";
}

bool Offers(const std::vector<std::string>& offered, AuthMechanism mechanism) {
    return std::find(offered.begin(), offered.end(), Name(mechanism)) != offered.end();
}

std::string OfferText(const std::vector<std::string>& offered) {
    if (offered.empty()) return "it offers no AUTH";
    std::string text = "it offers";
    for (const std::string& name : offered) text += " " + name;
    return text;
}

AuthMechanism Required(const std::vector<std::string>& offered, AuthMechanism mechanism, const char* why) {
    if (!Offers(offered, mechanism)) {
        throw AuthError(std::string("The server does not offer AUTH ") + Name(mechanism) + ", which " + why +
                        " (" + OfferText(offered) + ")");
    }
    return mechanism;
}

void LogIn(const SmtpExchange& exchange, const SmtpAccount& account) {
    exchange("AUTH LOGIN", {334}, "AUTH LOGIN");
    exchange(Base64Encode(account.UserName), {334}, "AUTH LOGIN (user name)");
    exchange(Base64Encode(account.Password), {235}, "AUTH LOGIN (password)");
}

void Plain(const SmtpExchange& exchange, const SmtpAccount& account) {
    std::string response = '\0' + account.UserName + '\0' + account.Password;
    exchange("AUTH PLAIN " + Base64Encode(response), {235}, "AUTH PLAIN");
}

void XOAuth2(const SmtpExchange& exchange, const SmtpAccount& account, const TokenTimeouts& timeouts,
             TokenCache& tokens) {
    std::string token = tokens.Token(account.OAuth, timeouts);
    SmtpReply reply = exchange("AUTH XOAUTH2 " + Base64Encode(XOAuth2String(account.UserName, token)), {},
                               "AUTH XOAUTH2");
    if (reply.NumericCode == 334) {
        // The challenge carries the reason as JSON; the empty answer asks for the final refusal.
        reply = exchange("", {}, "AUTH XOAUTH2");
    }
    if (reply.NumericCode != 235) {
        tokens.Drop(token);
        throw SmtpReplyError("AUTH XOAUTH2", reply);
    }
}

}  // namespace

AuthMechanism ChooseMechanism(const SmtpAccount& account, const std::vector<std::string>& offered) {
    const bool oauth = account.OAuth.Configured();
    if (account.AuthMechanism.empty()) {
        if (oauth) return Required(offered, AuthMechanism::XOAuth2, "an OAuth token endpoint is set for");
        if (Offers(offered, AuthMechanism::Login)) return AuthMechanism::Login;
        if (Offers(offered, AuthMechanism::Plain)) return AuthMechanism::Plain;
        return AuthMechanism::None;
    }
    std::string wanted = LowerCase(account.AuthMechanism);
    for (AuthMechanism mechanism : {AuthMechanism::Login, AuthMechanism::Plain, AuthMechanism::XOAuth2}) {
        if (wanted != LowerCase(Name(mechanism))) continue;
        if (mechanism == AuthMechanism::XOAuth2 && !oauth) {
            throw AuthError("email.auth asks for XOAUTH2 but no OAuth token endpoint (email.oauth.url) or key (email.oauth.key) is set");
        }
        return Required(offered, mechanism, "email.auth asks for");
    }
    throw AuthError("email.auth \"" + account.AuthMechanism + "\" is none of login, plain, xoauth2");
}

std::string XOAuth2String(const std::string& user, const std::string& token) {
    return "user=" + user + kSeparator + "auth=Bearer " + token + kSeparator + kSeparator;
}

bool AuthenticateSession(const SmtpExchange& exchange, const std::vector<std::string>& offered,
                         const SmtpAccount& account, const TokenTimeouts& timeouts, TokenCache& tokens) {
    switch (ChooseMechanism(account, offered)) {
        case AuthMechanism::None: return false;
        case AuthMechanism::Login: LogIn(exchange, account); return true;
        case AuthMechanism::Plain: Plain(exchange, account); return true;
        case AuthMechanism::XOAuth2: XOAuth2(exchange, account, timeouts, tokens); return true;
    }
    return false;
}

}  // namespace tessel::smtp
