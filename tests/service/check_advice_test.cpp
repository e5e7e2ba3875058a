// What --check makes of a failed session: the step it names, and the setting it points at.
#include "service/check_advice.h"

#include <gtest/gtest.h>

namespace tessel::service {
namespace {

using smtp::DeliveryResult;
using smtp::ErrorKind;
using smtp::SessionState;

smtp::SmtpAccount Account(bool startTls, bool implicitTls, std::string user = "mailer") {
    smtp::SmtpAccount account;
    account.Host = "mail.example";
    account.Port = 587;
    account.UseTls = startTls;
    account.ImplicitTls = implicitTls;
    account.UserName = std::move(user);
    return account;
}

TEST(CheckAdviceTest, EachFailureGetsItsStepAndSetting) {
    smtp::SmtpAccount xoauth = Account(true, false);
    xoauth.OAuth.TokenUrl = "https://login.example/token";
    struct Case {
        const char* what;
        DeliveryResult failure;
        bool connected;
        smtp::SmtpAccount account;
        CheckStep step;
        const char* advice;
    } cases[] = {
        {"nothing listens", DeliveryResult::Failure(ErrorKind::Connection, SessionState::Connect,
                                                    "Cannot connect to mail.example:587: Connection refused"),
         false, Account(true, false), CheckStep::Connect, "nothing takes connections on port 587"},
        {"no answer", DeliveryResult::Failure(ErrorKind::Connection, SessionState::Connect,
                                              "Timed out connecting to mail.example:587"),
         false, Account(true, false), CheckStep::Connect, "nothing answered on port 587"},
        {"unknown host", DeliveryResult::Failure(ErrorKind::Connection, SessionState::Connect,
                                                 "Cannot resolve the host name \"mail.example\": unknown"),
         false, Account(true, false), CheckStep::Connect, "email.servidor: the name does not resolve"},
        {"implicit TLS on a plain port",
         DeliveryResult::Failure(ErrorKind::Connection, SessionState::Connect,
                                 "TLS handshake failed: the server answered in plain text (a 220 reply), ..."),
         true, Account(false, true), CheckStep::Tls, "email.tls.implicit: this port speaks plain SMTP"},
        {"no greeting on a plain connect",
         DeliveryResult::Failure(ErrorKind::Connection, SessionState::Greeting,
                                 "Timed out waiting for the server's reply"),
         true, Account(true, false), CheckStep::Greeting, "email.tls.implicit: no greeting came"},
        {"greeting refused", DeliveryResult::Failure(ErrorKind::Refused, SessionState::Greeting,
                                                     "The greeting answered 554 go away", 554),
         true, Account(true, false), CheckStep::Greeting, "the server refuses this client"},
        {"name mismatch", DeliveryResult::Failure(ErrorKind::Connection, SessionState::StartTls,
                                                  "The server's TLS certificate was refused: name mismatch (it is "
                                                  "not issued for mail.example)"),
         true, Account(true, false), CheckStep::Tls, "email.servidor: it must be a name"},
        {"unknown issuer", DeliveryResult::Failure(ErrorKind::Connection, SessionState::StartTls,
                                                   "The server's TLS certificate was refused: unknown issuer (x)"),
         true, Account(true, false), CheckStep::Tls, "email.tls.ca"},
        {"no STARTTLS", DeliveryResult::Failure(ErrorKind::Connection, SessionState::StartTls,
                                                "The server does not offer STARTTLS"),
         true, Account(true, false), CheckStep::Tls, "email.ssl: the server offers no STARTTLS"},
        {"EHLO refused", DeliveryResult::Failure(ErrorKind::Refused, SessionState::Hello, "HELO answered 501", 501),
         true, Account(false, false), CheckStep::Hello, "email.helo"},
        {"wrong password", DeliveryResult::Failure(ErrorKind::Refused, SessionState::Auth,
                                                   "AUTH answered 535 5.7.8 invalid", 535),
         true, Account(true, false), CheckStep::Auth, "email.user and email.pass"},
        {"token refused by the mail server", DeliveryResult::Failure(ErrorKind::Refused, SessionState::Auth,
                                                                     "AUTH answered 535 5.7.3", 535),
         true, xoauth, CheckStep::Auth, "the server refused the token for this mailbox"},
        {"TLS wanted before AUTH", DeliveryResult::Failure(ErrorKind::Refused, SessionState::Auth,
                                                           "AUTH answered 530 5.7.0 Must issue STARTTLS", 530),
         true, Account(false, false), CheckStep::Auth, "email.ssl: the server wants TLS before AUTH"},
        {"mechanism not offered", DeliveryResult::Failure(ErrorKind::Unsupported, SessionState::Auth,
                                                          "The server does not offer AUTH PLAIN"),
         true, Account(false, false), CheckStep::Auth, "email.auth"},
        {"sender refused", DeliveryResult::Failure(ErrorKind::Refused, SessionState::MailFrom,
                                                   "MAIL FROM answered 550", 550),
         true, Account(false, false), CheckStep::Message, "email.remetente"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CheckStep step = FailedStep(c.failure, c.connected);
        EXPECT_EQ(StepName(step), StepName(c.step));
        std::string advice = SessionAdvice(step, c.failure, c.account);
        EXPECT_NE(advice.find(c.advice), std::string::npos) << advice;
    }
}

TEST(CheckAdviceTest, TokenRefusalsPointAtTheOAuthSetting) {
    struct Case {
        const char* error;
        const char* advice;
    } cases[] = {
        {"refused the request: invalid_client: AADSTS7000215: Invalid client secret provided.",
         "email.oauth.secret: the client secret is wrong (the secret's value, not its ID) (AADSTS7000215)"},
        {"refused the request: unauthorized_client: AADSTS700016: Application not found",
         "email.oauth.client: no application with this ID"},
        {"refused the request: invalid_request: AADSTS90002: Tenant not found", "email.oauth.url: the tenant"},
        {"refused the request: invalid_scope: AADSTS70011: The provided value for scope is not valid",
         "email.oauth.scope"},
        {"refused the request: invalid_request: AADSTS123456: something new", "(AADSTS123456: Microsoft's"},
        {"refused the request: invalid_grant: Token has been expired or revoked.", "email.oauth.refresh"},
        {"refused the request: invalid_client", "email.oauth.client and email.oauth.secret"},
        {"could not be used: SSL certificate problem", "email.oauth.url and email.oauth.ca"},
        {"answered with no valid JSON object", "email.oauth.url, email.oauth.client and email.oauth.secret"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        std::string advice = TokenAdvice(std::string("The OAuth token endpoint https://login.example ") + c.error);
        EXPECT_NE(advice.find(c.advice), std::string::npos) << advice;
    }
}

TEST(CheckAdviceTest, XOAuth2IsUsedOnlyWithAUserAndATokenSource) {
    smtp::SmtpAccount account = Account(true, false);
    EXPECT_FALSE(UsesXOAuth2(account));
    account.OAuth.TokenUrl = "https://login.example/token";
    EXPECT_TRUE(UsesXOAuth2(account));
    account.AuthMechanism = "LOGIN";
    EXPECT_FALSE(UsesXOAuth2(account));
    account.AuthMechanism = "XOAuth2";
    EXPECT_TRUE(UsesXOAuth2(account));
    account.UserName.clear();
    EXPECT_FALSE(UsesXOAuth2(account));
}

}  // namespace
}  // namespace tessel::service
