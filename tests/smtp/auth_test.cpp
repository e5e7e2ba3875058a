// Authentication against a scripted server: which mechanism a session takes, the exact PLAIN and
// XOAUTH2 lines (the token from a test endpoint over HTTPS), and where a refusal leaves the token.
#include <gtest/gtest.h>

#include "session_fixture.h"
#include "smtp/auth.h"
#include "support/token_endpoint.h"
#include "util/base64.h"

namespace tessel::smtp::test {
namespace {

using tessel::test::TokenEndpoint;

constexpr const char* kUser = "mailbox@example.test";
constexpr const char* kPassword = "pa55word";

SmtpAccount Account(const std::string& mechanism = "") {
    SmtpAccount account{"127.0.0.1", 2525, kUser, kPassword, false};
    account.AuthMechanism = mechanism;
    return account;
}

// ThroughTransaction - the rest of a plain transaction after the authentication.
void ThroughTransaction(tessel::test::ScriptedSmtpServer& server) {
    server.Expect("RSET").Reply("250 reset")
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 sender")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 rcpt")
        .Expect("DATA").Reply("354 go")
        .ExpectData().Reply("250 queued")
        .Expect("QUIT").Reply("221 bye");
}

std::string PlainResponse() {
    return Base64Encode(std::string("\0", 1) + kUser + std::string("\0", 1) + kPassword);
}

struct ChoiceCase {
    const char* Name;
    const char* Offer;      // the EHLO reply's AUTH line
    const char* Setting;    // email.auth
    std::vector<std::pair<std::string, std::string>> Dialogue;  // line sent, reply
};

TEST(AuthTest, MechanismIsChosenFromTheOfferAndTheSetting) {
    const std::vector<std::pair<std::string, std::string>> login = {
        {"AUTH LOGIN", "334 VXNlcm5hbWU6"},
        {Base64Encode(kUser), "334 UGFzc3dvcmQ6"},
        {Base64Encode(kPassword), "235 2.7.0 ok"}};
    const std::vector<std::pair<std::string, std::string>> plain = {
        {"AUTH PLAIN " + PlainResponse(), "235 2.7.0 ok"}};
    const std::vector<ChoiceCase> cases = {
        {"automatic takes LOGIN when offered", "250 AUTH PLAIN LOGIN XOAUTH2", "", login},
        {"automatic takes PLAIN when LOGIN is not offered", "250 AUTH PLAIN CRAM-MD5", "", plain},
        {"automatic without LOGIN or PLAIN authenticates not", "250 AUTH CRAM-MD5", "", {}},
        {"plain insists on PLAIN", "250 AUTH LOGIN PLAIN", "plain", plain},
        {"LOGIN in any letter case", "250 AUTH=LOGIN", "LOGIN", login},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Session s;
        s.Server.Reply("220 x").Expect(Ehlo()).Reply(std::string("250-x\r\n") + c.Offer);
        for (const auto& [line, reply] : c.Dialogue) s.Server.Expect(line).Reply(reply);
        ThroughTransaction(s.Server);

        DeliveryResult result = s.DeliverAs(PlainMessage(), Account(c.Setting));

        EXPECT_TRUE(result.Delivered) << result.Reason;
        EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    }
}

struct RefusedChoice {
    const char* Name;
    const char* Offer;
    const char* Setting;
    std::string OAuthUrl;
    const char* Reason;
};

TEST(AuthTest, AMechanismThatCannotBeUsedFailsTheSessionBeforeTheTransaction) {
    const std::vector<RefusedChoice> cases = {
        {"plain not offered", "250 AUTH LOGIN", "plain", "",
         "The server does not offer AUTH PLAIN, which email.auth asks for (it offers LOGIN)"},
        {"login not offered", "250 AUTH PLAIN", "login", "",
         "The server does not offer AUTH LOGIN, which email.auth asks for (it offers PLAIN)"},
        {"no AUTH at all", "250 SIZE 100", "login", "",
         "The server does not offer AUTH LOGIN, which email.auth asks for (it offers no AUTH)"},
        {"token endpoint set, XOAUTH2 not offered", "250 AUTH LOGIN PLAIN", "", "https://localhost:1/token",
         "The server does not offer AUTH XOAUTH2, which an OAuth token endpoint is set for (it offers LOGIN "
         "PLAIN)"},
        {"xoauth2 without a token endpoint", "250 AUTH XOAUTH2", "xoauth2", "",
         "email.auth asks for XOAUTH2 but no OAuth token endpoint (email.oauth.url) or key (email.oauth.key) is set"},
        {"unknown name", "250 AUTH CRAM-MD5", "cram-md5", "",
         "email.auth \"cram-md5\" is none of login, plain, xoauth2"},
    };
    for (const RefusedChoice& c : cases) {
        SCOPED_TRACE(c.Name);
        Session s;
        s.Server.Reply("220 x").Expect(Ehlo()).Reply(std::string("250-x\r\n") + c.Offer)
            .Expect("QUIT").Reply("221 bye");
        SmtpAccount account = Account(c.Setting);
        account.OAuth.TokenUrl = c.OAuthUrl;

        DeliveryResult result = s.DeliverAs(PlainMessage(), account);

        EXPECT_FALSE(result.Delivered);
        EXPECT_EQ(ClassOf(result), FailureClass::Session);
        EXPECT_EQ(result.Reason, c.Reason);
        EXPECT_EQ(s.Server.Received(), Ehlo() + "\r\nQUIT\r\n");
    }
}

TEST(AuthTest, ThePlainInitialResponseCarriesNoAuthorisationIdentity) {
    EXPECT_EQ(PlainResponse(), "AG1haWxib3hAZXhhbXBsZS50ZXN0AHBhNTV3b3Jk");
}

// OAuth sessions: a token endpoint of the tests' own, the process's token cache emptied first.
class XOAuth2Test : public ::testing::Test {
protected:
    void SetUp() override { ProcessTokenCache().Clear(); }
    void TearDown() override { ProcessTokenCache().Clear(); }

    SmtpAccount OAuthAccount() {
        SmtpAccount account = Account();
        account.Password.clear();
        account.OAuth = {endpoint.Url(), "client-id", "client-secret", "https://outlook.office365.com/.default",
                         "", endpoint.CaFile()};
        return account;
    }

    TokenEndpoint endpoint;
};

std::string XOAuth2Line(const std::string& token) {
    return "AUTH XOAUTH2 " + Base64Encode(std::string("user=") + kUser + "\x01" + "auth=Bearer " + token + "\x01\x01");
}

TEST_F(XOAuth2Test, TheTokenGoesWithTheCommandAsTheProviderExpects) {
    std::string token = "eyJ0eXAiOiJKV1QiLCJhbGciOiJSUzI1NiJ9." + std::string(1800, 'x') + ".sig-_";
    endpoint.Answer({TokenEndpoint::Token(token)});
    Session s;
    s.Server.Reply("220 x").Expect(Ehlo()).Reply("250-x\r\n250 AUTH LOGIN XOAUTH2")
        .Expect(XOAuth2Line(token)).Reply("235 2.7.0 Authentication successful");
    ThroughTransaction(s.Server);

    DeliveryResult result = s.DeliverAs(PlainMessage(), OAuthAccount());

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    EXPECT_EQ(XOAuth2String("u@x", "t"), std::string("user=u@x\x01" "auth=Bearer t\x01\x01"));
}

TEST_F(XOAuth2Test, ARefusedTokenIsDroppedAndTheNextSessionFetchesANewOne) {
    endpoint.Answer({TokenEndpoint::Token("stale-token"), TokenEndpoint::Token("fresh-token")});
    // The provider's way: a 334 challenge with the reason, an empty line, then the refusal.
    Session refused;
    refused.Server.Reply("220 x").Expect(Ehlo()).Reply("250-x\r\n250 AUTH XOAUTH2")
        .Expect(XOAuth2Line("stale-token")).Reply("334 eyJzdGF0dXMiOiI0MDEifQ==")
        .Expect("").Reply("535 5.7.3 Authentication unsuccessful")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult first = refused.DeliverAs(PlainMessage(), OAuthAccount());

    EXPECT_FALSE(first.Delivered);
    EXPECT_EQ(ClassOf(first), FailureClass::Session);
    EXPECT_NE(first.Reason.find("AUTH XOAUTH2"), std::string::npos) << first.Reason;
    EXPECT_NE(first.Reason.find("535"), std::string::npos) << first.Reason;
    EXPECT_EQ(first.Reason.find("stale-token"), std::string::npos) << first.Reason;
    EXPECT_TRUE(refused.Server.Mismatches().empty()) << refused.Server.Mismatches().front();

    // A refusal without a challenge drops the token as well.
    Session direct;
    direct.Server.Reply("220 x").Expect(Ehlo()).Reply("250-x\r\n250 AUTH XOAUTH2")
        .Expect(XOAuth2Line("fresh-token")).Reply("454 4.7.0 Temporary authentication failure")
        .Expect("QUIT").Reply("221 bye");
    EXPECT_EQ(ClassOf(direct.DeliverAs(PlainMessage(), OAuthAccount())), FailureClass::Session);
    EXPECT_TRUE(direct.Server.Mismatches().empty()) << direct.Server.Mismatches().front();

    endpoint.Answer({TokenEndpoint::Token("third-token")});
    Session accepted;
    accepted.Server.Reply("220 x").Expect(Ehlo()).Reply("250-x\r\n250 AUTH XOAUTH2")
        .Expect(XOAuth2Line("third-token")).Reply("235 ok");
    ThroughTransaction(accepted.Server);
    EXPECT_TRUE(accepted.DeliverAs(PlainMessage(), OAuthAccount()).Delivered);
    EXPECT_TRUE(accepted.Server.Mismatches().empty()) << accepted.Server.Mismatches().front();
    EXPECT_EQ(endpoint.Requests().size(), 3u);
}

TEST_F(XOAuth2Test, AnEndpointThatFailsFailsTheSessionBeforeTheTransaction) {
    endpoint.Answer({TokenEndpoint::Refusal(401, "invalid_client", "AADSTS7000215: Invalid client secret.")});
    Session s;
    s.Server.Reply("220 x").Expect(Ehlo()).Reply("250-x\r\n250 AUTH XOAUTH2").Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.DeliverAs(PlainMessage(), OAuthAccount());

    EXPECT_EQ(ClassOf(result), FailureClass::Session);
    EXPECT_EQ(result.Reason, "The OAuth token endpoint " + endpoint.Url() +
                                 " refused the request: HTTP 401: invalid_client - AADSTS7000215: Invalid "
                                 "client secret.");
    EXPECT_EQ(s.Server.Received(), Ehlo() + "\r\nQUIT\r\n");
}

TEST(AuthTest, AServiceAccountKeyAloneChoosesXOAuth2) {
    SmtpAccount account;
    account.OAuth.KeyFile = "/etc/tessel/google.json";
    EXPECT_EQ(ChooseMechanism(account, {"LOGIN", "PLAIN", "XOAUTH2"}), AuthMechanism::XOAuth2);
}

}  // namespace
}  // namespace tessel::smtp::test
