// Authentication for today's providers, end to end: the work cycle and the real binary against
// Debian's aiosmtpd (offering XOAUTH2 and PLAIN) and a token endpoint of the tests' own over HTTPS.
// Secrets never reach a record.
#include "e2e_fixture.h"
#include "service_process.h"
#include "smtp/oauth_token.h"
#include "support/aiosmtpd_server.h"
#include "support/token_endpoint.h"

namespace tessel::e2e {
namespace {

using test::AiosmtpdServer;
using test::TokenEndpoint;

constexpr const char* kMailbox = "mailbox@example.test";
constexpr const char* kClientSecret = "Vx8Q~client-secret-value";
constexpr const char* kRefreshToken = "1//0refresh-token-value";

class OAuthEndToEndTest : public EndToEndTest {
protected:
    void SetUp() override {
        if (!test::AiosmtpdAvailable()) GTEST_SKIP() << "python3-aiosmtpd is not installed";
        smtp::ProcessTokenCache().Clear();
    }
    void TearDown() override { smtp::ProcessTokenCache().Clear(); }

    // OAuthSettings - the email. settings of a Microsoft 365 set-up, pointed at the test peers.
    void OAuthSettings(int smtpPort, const TokenEndpoint& endpoint) {
        MailServer(smtpPort, false, kMailbox, "");
        Set("email.oauth.url", endpoint.Url());
        Set("email.oauth.client", "11111111-2222-3333-4444-555555555555");
        Set("email.oauth.secret", kClientSecret);
        Set("email.oauth.scope", "https://outlook.office365.com/.default");
        Set("email.oauth.ca", endpoint.CaFile());
    }

    // ExpectNoSecretIn - none of the secrets, nor any token handed out, appears in text.
    void ExpectNoSecretIn(const std::string& text, const std::vector<std::string>& tokens) {
        std::vector<std::string> secrets = {kClientSecret, kRefreshToken};
        secrets.insert(secrets.end(), tokens.begin(), tokens.end());
        for (const std::string& secret : secrets) {
            EXPECT_FALSE(Contains(text, secret)) << "\"" << secret << "\" in: " << text;
        }
    }
    void ExpectNoSecretInRecords(const std::vector<std::string>& tokens) {
        for (const std::string& record : Warnings()) ExpectNoSecretIn(record, tokens);
        for (const std::string& record : Errors()) ExpectNoSecretIn(record, tokens);
    }

    mail::SmtpMailSender sender{TestTimeouts()};
};

TEST_F(OAuthEndToEndTest, AQueueGoesOutOverXOAuth2WithOneTokenForEveryMessage) {
    std::string token = "eyJ0eXAiOiJKV1QifQ." + std::string(2000, 'A') + ".signature";
    TokenEndpoint endpoint;
    endpoint.Answer({TokenEndpoint::Token(token, 3599)});
    AiosmtpdServer server({kMailbox, "unused", nullptr, "LOGIN XOAUTH2", token});
    OAuthSettings(server.Port(), endpoint);
    Queue("ana@example.test", "One");
    Queue("bruno@example.test;carla@example.test", "Two");

    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 3u);
    for (const auto& message : messages) EXPECT_EQ(message.AuthMechanism, "XOAUTH2");
    EXPECT_EQ(endpoint.Requests().size(), 1u) << "the token serves every session";
    EXPECT_EQ(endpoint.Requests().at(0).Form.at("grant_type"), "client_credentials");
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(Warnings().empty());

    // The next cycle keeps the token too.
    Queue("dora@example.test", "Three");
    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);
    EXPECT_EQ(server.Messages().size(), 4u);
    EXPECT_EQ(endpoint.Requests().size(), 1u);
}

TEST_F(OAuthEndToEndTest, ATokenTheServerRefusesIsDroppedAndTheNextCycleFetchesANewOne) {
    TokenEndpoint endpoint;
    endpoint.Answer({TokenEndpoint::Token("revoked-access-token"), TokenEndpoint::Token("valid-access-token")});
    AiosmtpdServer server({kMailbox, "unused", nullptr, "XOAUTH2", "valid-access-token"});
    OAuthSettings(server.Port(), endpoint);
    Set("email.oauth.refresh", kRefreshToken);
    int first = Queue("ana@example.test", "One");
    int second = Queue("bruno@example.test", "Two");

    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    EXPECT_EQ(QueuedIds(), std::to_string(first) + "," + std::to_string(second));
    auto warnings = Warnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(Contains(warnings[0], "AUTH XOAUTH2")) << warnings[0];
    EXPECT_TRUE(Contains(warnings[0], "535 5.7.8")) << warnings[0];
    EXPECT_EQ(server.AuthAttempts(), std::vector<std::string>{"XOAUTH2 refused"});

    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_EQ(server.Messages().size(), 2u);
    auto requests = endpoint.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].Form.at("grant_type"), "refresh_token");
    EXPECT_EQ(requests[1].Form.at("refresh_token"), kRefreshToken);
    ExpectNoSecretInRecords({"revoked-access-token", "valid-access-token"});
}

struct EndpointFailure {
    const char* Name;
    std::vector<test::TokenAnswer> Answers;
    bool PlainHttp;
    const char* Reason;
};

TEST_F(OAuthEndToEndTest, AnEndpointThatFailsDefersTheQueueWithItsReason) {
    const std::vector<EndpointFailure> cases = {
        {"400", {TokenEndpoint::Refusal(400, "invalid_grant", "AADSTS70000: The grant is expired.")}, false,
         "refused the request: HTTP 400: invalid_grant - AADSTS70000: The grant is expired."},
        {"401", {TokenEndpoint::Refusal(401, "invalid_client", "AADSTS7000215: Invalid client secret.")}, false,
         "refused the request: HTTP 401: invalid_client - AADSTS7000215: Invalid client secret."},
        {"bad JSON", {{200, "{\"access_token\":\"half-access-token\"", 0}}, false,
         "answered with no valid JSON object"},
    };
    for (const EndpointFailure& c : cases) {
        SCOPED_TRACE(c.Name);
        ClearRecords();
        sql().Exec("DELETE FROM mail_spooler");
        TokenEndpoint endpoint(c.PlainHttp ? TokenEndpoint::Scheme::Http : TokenEndpoint::Scheme::Https);
        endpoint.Answer(c.Answers);
        AiosmtpdServer server({kMailbox, "unused", nullptr, "XOAUTH2", "any"});
        OAuthSettings(server.Port(), endpoint);
        Queue("ana@example.test");
        Queue("bruno@example.test");

        EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

        EXPECT_EQ(QueuedCount(), 2) << "nothing is lost";
        EXPECT_TRUE(server.Messages().empty());
        auto warnings = Warnings();
        ASSERT_EQ(warnings.size(), 1u) << "one deferral";
        EXPECT_TRUE(Contains(warnings[0], "Mail server 127.0.0.1:" + std::to_string(server.Port()) + " cannot be used; "))
            << warnings[0];
        EXPECT_TRUE(Contains(warnings[0], c.Reason)) << warnings[0];
        ExpectNoSecretInRecords({"half-access-token", "plain-access-token"});
        EXPECT_TRUE(server.AuthAttempts().empty());
    }
}

// An endpoint that is not https:// is a setting that cannot be used: found when the settings are
// read, an error record names it, and nothing reaches the endpoint or the mail server.
TEST_F(OAuthEndToEndTest, AnHttpEndpointIsASettingErrorAndNothingIsSent) {
    TokenEndpoint endpoint(TokenEndpoint::Scheme::Http);
    endpoint.Answer({TokenEndpoint::Token("plain-access-token")});
    AiosmtpdServer server({kMailbox, "unused", nullptr, "XOAUTH2", "any"});
    OAuthSettings(server.Port(), endpoint);
    Queue("ana@example.test");

    cycle::WorkCycle work = Cycle(sender);
    EXPECT_EQ(work.RunCycle(), cycle::CycleOutcome::Completed);

    EXPECT_EQ(work.LastDrain().Outcome, cycle::DrainOutcome::Deferred);
    EXPECT_EQ(QueuedCount(), 1);
    EXPECT_TRUE(Warnings().empty());
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(Contains(errors[0], "The setting email.oauth.url cannot be used: ")) << errors[0];
    EXPECT_FALSE(Contains(errors[0], "cannot be used; ")) << errors[0];
    EXPECT_TRUE(endpoint.Requests().empty());
    EXPECT_TRUE(server.AuthAttempts().empty());
}

TEST_F(OAuthEndToEndTest, AnAppPasswordGoesOverPlainWhenOnlyPlainIsOffered) {
    AiosmtpdServer server({kMailbox, "abcd efgh ijkl mnop", nullptr, "PLAIN"});
    MailServer(server.Port(), false, kMailbox, "abcd efgh ijkl mnop");
    Queue("ana@example.test");

    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].AuthMechanism, "PLAIN");
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(OAuthEndToEndTest, TheBinaryDeliversTheQueueOverXOAuth2InOneRun) {
    TokenEndpoint endpoint;
    endpoint.Answer({TokenEndpoint::Token("binary-access-token", 3599)});
    AiosmtpdServer server({kMailbox, "unused", nullptr, "LOGIN PLAIN XOAUTH2", "binary-access-token"});
    OAuthSettings(server.Port(), endpoint);
    Set("email.auth", "xoauth2");
    Queue("ana@example.test", "First");
    Queue("bruno@example.test;carla@example.test", "Second");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = install.RunOnce();

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(WithoutInformation(run.Err), "") << "no warning, no error: " << run.Err;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 3u);
    for (const auto& message : messages) EXPECT_EQ(message.AuthMechanism, "XOAUTH2");
    EXPECT_EQ(endpoint.Requests().size(), 1u);
    EXPECT_EQ(QueuedCount(), 0);

    // The endpoint refuses now: the binary defers, and its records hold no secret.
    endpoint.Answer({TokenEndpoint::Refusal(401, "invalid_client", "Client secret expired")});
    Queue("dora@example.test", "Third");
    ProcessResult refused = install.RunOnce();
    EXPECT_EQ(refused.Status, 3) << "the mail server could not be used: " << refused.Err;
    EXPECT_TRUE(Contains(refused.Err, "HTTP 401: invalid_client - Client secret expired")) << refused.Err;
    ExpectNoSecretIn(refused.Err + refused.Out, {"binary-access-token"});
    EXPECT_EQ(QueuedCount(), 1);
}

}  // namespace
}  // namespace tessel::e2e
