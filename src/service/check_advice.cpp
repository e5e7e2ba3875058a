#include "service/check_advice.h"

#include <cctype>

#include "util/ascii.h"

namespace tessel::service {
namespace {

using smtp::DeliveryResult;
using smtp::ErrorKind;
using smtp::SessionState;

bool Has(std::string_view text, std::string_view part) { return text.find(part) != text.npos; }

// AadstsCode - the first "AADSTS" followed by digits in text (Microsoft's error codes); empty
// when there is none.
std::string AadstsCode(std::string_view text) {
    constexpr std::string_view kPrefix = "AADSTS";
    for (std::size_t at = text.find(kPrefix); at != text.npos; at = text.find(kPrefix, at + 1)) {
        std::size_t end = at + kPrefix.size();
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (end > at + kPrefix.size()) return std::string(text.substr(at, end - at));
    }
    return "";
}

struct CodeAdvice {
    std::string_view Code;
    std::string_view Advice;
};
// The codes Microsoft's token endpoint gives most often for a misconfigured client.
constexpr CodeAdvice kAadstsAdvice[] = {
    {"AADSTS7000215", "email.oauth.secret: the client secret is wrong (the secret's value, not its ID)"},
    {"AADSTS7000222", "email.oauth.secret: the client secret has expired; make a new one"},
    {"AADSTS700016", "email.oauth.client: no application with this ID in the tenant of email.oauth.url"},
    {"AADSTS90002", "email.oauth.url: the tenant in the address does not exist"},
    {"AADSTS900023", "email.oauth.url: the tenant in the address is not valid"},
    {"AADSTS70011", "email.oauth.scope: for Microsoft 365, https://outlook.office365.com/.default"},
    {"AADSTS70008", "email.oauth.refresh: the refresh token has expired; obtain a new one"},
    {"AADSTS700082", "email.oauth.refresh: the refresh token has expired; obtain a new one"},
    {"AADSTS50034", "email.user: no such mailbox in the tenant"},
};
// The error names of RFC 6749, for any other endpoint.
constexpr CodeAdvice kOAuthErrorAdvice[] = {
    {"invalid_client", "email.oauth.client and email.oauth.secret: the endpoint does not know this client"},
    {"invalid_grant", "email.oauth.refresh (or the key in email.oauth.key): the grant was refused"},
    {"invalid_scope", "email.oauth.scope"},
    {"unauthorized_client", "the application's permissions at the provider (email.oauth.client)"},
    {"unsupported_grant_type", "email.oauth.refresh and email.oauth.url: the endpoint does not take this grant"},
};

std::string ConnectAdvice(const DeliveryResult& failure, const smtp::SmtpAccount& account) {
    if (failure.Error == ErrorKind::Unsupported) return account.Host.empty() ? "email.servidor" : "email.porta";
    if (Has(failure.Reason, "resolve")) return "email.servidor: the name does not resolve";
    std::string port = std::to_string(account.ConnectPort());
    if (Has(failure.Reason, "Timed out")) {
        return "email.servidor and email.porta: nothing answered on port " + port +
               " (a firewall may drop the connection)";
    }
    return "email.servidor and email.porta: nothing takes connections on port " + port + " of that host";
}

std::string TlsAdvice(const DeliveryResult& failure) {
    const std::string& reason = failure.Reason;
    if (Has(reason, "plain text")) {
        return "email.tls.implicit: this port speaks plain SMTP; set email.tls.implicit to 0 and email.ssl to 1 "
               "(STARTTLS), or email.porta to the server's implicit-TLS port (usually 465)";
    }
    if (Has(reason, "name mismatch")) {
        return "email.servidor: it must be a name the server's certificate is issued for (or pin the key with "
               "email.tls.pin instead of email.tls.verify)";
    }
    if (Has(reason, "unknown issuer")) return "email.tls.ca: the CA that issued the server's certificate";
    if (Has(reason, "pin mismatch")) return "email.tls.pin: the fingerprint of the server's key is printed above";
    if (Has(reason, "expired") || Has(reason, "not yet valid")) {
        return "the server's certificate (its administrator must renew it), or email.tls.verify";
    }
    if (Has(reason, "does not offer STARTTLS")) {
        return "email.ssl: the server offers no STARTTLS on this port (set email.ssl to 0, or use its TLS port)";
    }
    if (Has(reason, "email.tls.")) return "the setting named above";
    return "email.ssl and email.tls.implicit: the TLS mode must be the one the port speaks";
}

std::string GreetingAdvice(const DeliveryResult& failure, const smtp::SmtpAccount& account) {
    if (failure.ReplyCode != 0) return "email.servidor: the server refuses this client (its reply says why)";
    if (!account.ImplicitTls) {
        return "email.tls.implicit: no greeting came; a server on an implicit-TLS port (usually 465) waits for "
               "TLS from the first byte: set email.tls.implicit to 1, or use its STARTTLS port (587) with "
               "email.ssl = 1";
    }
    return "email.servidor and email.porta: the server sent no greeting";
}

std::string AuthAdvice(const DeliveryResult& failure, const smtp::SmtpAccount& account) {
    if (failure.Error == ErrorKind::Unsupported) {
        if (Has(failure.Reason, "OAuth") || Has(failure.Reason, "email.oauth")) return TokenAdvice(failure.Reason);
        return "email.auth: the server does not offer that mechanism on this connection (many offer AUTH only "
               "after STARTTLS: email.ssl)";
    }
    switch (failure.ReplyCode) {
        case 535:
            if (UsesXOAuth2(account)) {
                return "email.user and the token's rights: the server refused the token for this mailbox (for "
                       "Microsoft 365: the application's SMTP.SendAsApp permission, and SMTP AUTH allowed for "
                       "the mailbox)";
            }
            return "email.user and email.pass: the server refused this user name and password";
        case 534: return "email.pass: the provider wants an app password, or OAuth (email.oauth.url)";
        case 530:
        case 538: return "email.ssl: the server wants TLS before AUTH";
        case 454: return "email.auth, if it lasts: the server refused the mechanism for now";
        default: return "email.user, email.pass and email.auth";
    }
}

}  // namespace

std::string_view StepName(CheckStep step) {
    switch (step) {
        case CheckStep::ConfigFile: return "configs.ini";
        case CheckStep::Database: return "database";
        case CheckStep::Settings: return "settings";
        case CheckStep::Token: return "token";
        case CheckStep::Connect: return "connect";
        case CheckStep::Tls: return "TLS";
        case CheckStep::Greeting: return "greeting";
        case CheckStep::Hello: return "EHLO";
        case CheckStep::Auth: return "AUTH";
        case CheckStep::Message: return "message";
        case CheckStep::Quit: return "QUIT";
    }
    return "";
}

CheckStep FailedStep(const DeliveryResult& failure, bool connected) {
    switch (failure.State) {
        case SessionState::Connect: return connected ? CheckStep::Tls : CheckStep::Connect;
        case SessionState::Greeting: return CheckStep::Greeting;
        case SessionState::Hello: return CheckStep::Hello;
        case SessionState::StartTls: return CheckStep::Tls;
        case SessionState::Auth: return CheckStep::Auth;
        case SessionState::Quit:
        case SessionState::Done: return CheckStep::Quit;
        default: return CheckStep::Message;
    }
}

std::string SessionAdvice(CheckStep step, const DeliveryResult& failure, const smtp::SmtpAccount& account) {
    switch (step) {
        case CheckStep::Connect: return ConnectAdvice(failure, account);
        case CheckStep::Tls: return TlsAdvice(failure);
        case CheckStep::Greeting: return GreetingAdvice(failure, account);
        case CheckStep::Hello: return "email.helo: the server refused the name sent with EHLO and HELO";
        case CheckStep::Auth: return AuthAdvice(failure, account);
        case CheckStep::Message:
            return failure.State == SessionState::MailFrom ? "email.remetente: the server refuses this sender"
                                                           : "the test address, or the server's rules for it";
        default: return "";
    }
}

std::string TokenAdvice(std::string_view error) {
    if (std::string code = AadstsCode(error); !code.empty()) {
        for (const CodeAdvice& known : kAadstsAdvice) {
            if (known.Code == code) return std::string(known.Advice) + " (" + code + ")";
        }
        return "email.oauth.url, email.oauth.client and email.oauth.secret (" + code +
               ": Microsoft's documentation of this code says more)";
    }
    for (const CodeAdvice& known : kOAuthErrorAdvice) {
        if (Has(error, known.Code)) return std::string(known.Advice);
    }
    if (Has(error, "could not be used")) {
        return "email.oauth.url and email.oauth.ca: the endpoint cannot be reached, or its certificate is not trusted";
    }
    if (Has(error, "email.oauth.key")) return "email.oauth.key";
    return "email.oauth.url, email.oauth.client and email.oauth.secret";
}

bool UsesXOAuth2(const smtp::SmtpAccount& account) {
    return !account.UserName.empty() && account.OAuth.Configured() &&
           (account.AuthMechanism.empty() || EqualsNoCase(account.AuthMechanism, "xoauth2"));
}

}  // namespace tessel::service
