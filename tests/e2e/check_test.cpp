// --check and --send-test through the real binary: each kind of failure named with its step, its
// reason and the setting to look at, never a secret; a test message that leaves the queue alone.
#include <functional>
#include <memory>

#include "e2e_fixture.h"
#include "service_process.h"
#include "support/aiosmtpd_server.h"
#include "support/token_endpoint.h"

namespace tessel::e2e {
namespace {

constexpr const char* kPassword = "pa55-Wrong-Horse";
constexpr const char* kOauthSecret = "cl1ent-Secret-Value";

class CheckTest : public EndToEndTest {
protected:
    void SetUp() override {
        if (!test::AiosmtpdAvailable()) GTEST_SKIP() << "python3-aiosmtpd is not installed";
        certificate_ = test::MakeTestCertificate(certificates_.Path());
    }
    ProcessResult Check(const ServiceInstall& install, std::vector<std::string> more = {}) {
        std::vector<std::string> arguments{"--check", "--timeout=5"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return install.Run(arguments);
    }

    test::TempDir certificates_;
    test::TestCertificate certificate_;
};

// FailedLine - the line of out that starts with step and FAILED.
std::string FailedLine(const std::string& out, const std::string& step) {
    std::string name = step;
    name.resize(12, ' ');
    std::size_t at = out.find(name + "FAILED");
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

TEST_F(CheckTest, EveryKindOfFailureNamesItsStepAndTheSettingToLookAt) {
    struct Case {
        const char* what;
        std::function<std::unique_ptr<test::AiosmtpdServer>()> server;
        std::map<std::string, std::string> settings;
        const char* step;
        const char* reason;
        const char* lookAt;
    };
    const int silentPort = UnusedLoopbackPort();
    auto plainWithAuth = [this] {
        return std::make_unique<test::AiosmtpdServer>(test::AiosmtpdServer::Options{"mailer", "right-one", &certificate_});
    };
    auto implicitTls = [this] {
        test::AiosmtpdServer::Options options;
        options.ImplicitTls = &certificate_;
        return std::make_unique<test::AiosmtpdServer>(options);
    };
    Case cases[] = {
        {"wrong password", plainWithAuth, {{"email.ssl", "1"}, {"email.user", "mailer"}, {"email.pass", kPassword}},
         "AUTH", "535", "look at: email.user and email.pass"},
        {"port that does not answer", nullptr, {{"email.porta", std::to_string(silentPort)}}, "connect",
         "Cannot connect to", "look at: email.servidor and email.porta: nothing takes connections on port"},
        {"implicit TLS against a STARTTLS port", plainWithAuth, {{"email.tls.implicit", "1"}}, "TLS",
         "the server answered in plain text (a 220 reply)", "look at: email.tls.implicit: this port speaks plain SMTP"},
        {"STARTTLS against an implicit-TLS port", implicitTls, {{"email.ssl", "1"}}, "greeting",
         "Timed out waiting for the server's reply", "look at: email.tls.implicit: no greeting came"},
        {"certificate name mismatch", plainWithAuth,
         {{"email.ssl", "1"}, {"email.tls.verify", "1"}, {"email.tls.ca", certificate_.CertFile}}, "TLS",
         "name mismatch (it is not issued for 127.0.0.1)", "look at: email.servidor: it must be a name"},
    };
    ServiceInstall install(dir, tdb.Parameters());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<test::AiosmtpdServer> server = c.server ? c.server() : nullptr;
        MailServer(server ? server->Port() : silentPort);
        for (const auto& [key, value] : c.settings) Set(key, value);

        ProcessResult run = Check(install);

        EXPECT_EQ(run.Status, 3) << run.Out << run.Err;
        std::string failed = FailedLine(run.Out, c.step);
        EXPECT_TRUE(Contains(failed, c.reason)) << run.Out;
        EXPECT_TRUE(Contains(run.Out, c.lookAt)) << run.Out;
        EXPECT_TRUE(Contains(run.Out, std::string("The check failed at the step ") + c.step + ".")) << run.Out;
        EXPECT_FALSE(Contains(run.Out + run.Err, kPassword)) << "a password was printed";
        for (const char* key : {"email.tls.implicit", "email.tls.verify", "email.tls.ca", "email.user", "email.pass"}) {
            Set(key, "");
        }
        Set("email.ssl", "0");
    }
}

// A token endpoint that refuses the client: the token step fails with Microsoft's code and the setting
// it points at; neither the client secret nor the mail password appears.
TEST_F(CheckTest, ARefusedTokenNamesItsCodeAndNoSecret) {
    test::TokenEndpoint endpoint;
    endpoint.Answer({test::TokenEndpoint::Refusal(
        401, "invalid_client", "AADSTS7000215: Invalid client secret provided. Trace ID: 0f1e")});
    test::AiosmtpdServer server({"mailer@example.test", "", &certificate_, "XOAUTH2", "never"});
    MailServer(server.Port(), true, "mailer@example.test", kPassword);
    Set("email.oauth.url", endpoint.Url());
    Set("email.oauth.client", "11111111-2222-3333-4444-555555555555");
    Set("email.oauth.secret", kOauthSecret);
    Set("email.oauth.ca", endpoint.CaFile());
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = Check(install);

    EXPECT_EQ(run.Status, 3) << run.Out << run.Err;
    EXPECT_TRUE(Contains(FailedLine(run.Out, "token"), "invalid_client")) << run.Out;
    EXPECT_TRUE(Contains(run.Out, "look at: email.oauth.secret: the client secret is wrong") &&
                Contains(run.Out, "(AADSTS7000215)"))
        << run.Out;
    EXPECT_FALSE(Contains(run.Out + run.Err, kOauthSecret)) << run.Out;
    EXPECT_FALSE(Contains(run.Out + run.Err, kPassword)) << run.Out;
    EXPECT_TRUE(server.AuthAttempts().empty()) << "the mail server was tried after the token failed";
}

TEST_F(CheckTest, AWorkingSetupPassesEveryStepAndSendsNothing) {
    test::AiosmtpdServer server({"mailer", kPassword, &certificate_});
    MailServer(server.Port(), true, "mailer", kPassword);
    Queue("queued@example.test");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = Check(install);

    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    for (const char* step : {"configs.ini ok", "database    ok", "settings    ok", "connect     ok", "greeting    ok",
                             "EHLO        ok", "TLS         ok", "AUTH        ok", "QUIT        ok"}) {
        EXPECT_TRUE(Contains(run.Out, std::string("\n") + step) || run.Out.starts_with(step)) << step << "\n" << run.Out;
    }
    EXPECT_TRUE(Contains(run.Out, "Every step passed.")) << run.Out;
    EXPECT_FALSE(Contains(run.Out + run.Err, kPassword));
    EXPECT_TRUE(server.Messages().empty());
    EXPECT_EQ(QueuedCount(), 1);
}

// --send-test: one message to the address given, with the reply to its final "." and its Message-ID
// printed; the queued row is neither sent nor changed.
TEST_F(CheckTest, SendTestSendsOneMessageAndLeavesTheQueueAlone) {
    test::AiosmtpdServer server({"mailer", kPassword, &certificate_});
    MailServer(server.Port(), true, "mailer", kPassword);
    int queued = Queue("queued@example.test");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = Check(install, {"--send-test=operator@example.test"});

    EXPECT_EQ(run.Status, 0) << run.Out << run.Err;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u) << run.Out;
    EXPECT_EQ(messages[0].Recipients, std::vector<std::string>{"operator@example.test"});
    EXPECT_EQ(messages[0].MailFrom, "alarms@example.test");
    EXPECT_TRUE(Contains(run.Out, "reply to the final \".\": 250 ")) << run.Out;
    std::size_t at = run.Out.find("Message-ID: <");
    ASSERT_NE(at, std::string::npos) << run.Out;
    std::string id = run.Out.substr(at + 12, run.Out.find('\n', at) - at - 12);
    EXPECT_TRUE(Contains(messages[0].Data, "Message-ID: " + id + "\r\n")) << messages[0].Data;
    EXPECT_TRUE(Contains(messages[0].Data, "Subject: tesselcomsvc test message from "));
    EXPECT_EQ(QueuedIds(), std::to_string(queued));
    EXPECT_EQ(sql().Scalar("SELECT Destinatario FROM mail_spooler").value_or(""), "queued@example.test");
}

}  // namespace
}  // namespace tessel::e2e
