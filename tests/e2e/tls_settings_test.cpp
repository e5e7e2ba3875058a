// The TLS settings through the real binary: the mail server's certificate checked as the configs
// table asks, and the database reached over TLS as configs.ini asks.
#include "db/connection.h"
#include "e2e_fixture.h"
#include "service_process.h"
#include "support/aiosmtpd_server.h"
#include "support/test_pki.h"

namespace tessel::e2e {
namespace {

TEST_F(EndToEndTest, OnceOverImplicitTlsChecksTheServerAsTheSettingsAsk) {
    if (!test::AiosmtpdAvailable()) GTEST_SKIP() << "python3-aiosmtpd is not installed";
    const test::TestPki& pki = test::SharedTestPki();
    test::AiosmtpdServer::Options options{"mailer", "s3cret"};
    options.ImplicitTls = &pki.Local;
    test::AiosmtpdServer server(options);
    MailServer(server.Port(), /*tls=*/false, "mailer", "s3cret");
    Set("email.tls.implicit", "1");
    Set("email.tls.verify", "1");
    Set("email.tls.ca", pki.OtherCaFile);
    Queue("ana@example.test", "First", "One");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult refused = install.RunOnce();

    EXPECT_EQ(refused.Status, 3) << "the drain deferred";
    EXPECT_TRUE(Contains(refused.Err, "Mail server 127.0.0.1:" + std::to_string(server.Port()) + " cannot be used; "))
        << refused.Err;
    EXPECT_TRUE(Contains(refused.Err, "wait for a later cycle: The server's TLS certificate was refused: unknown "
                                      "issuer (unable to get local issuer certificate)"))
        << refused.Err;
    EXPECT_TRUE(server.Messages().empty());
    EXPECT_EQ(QueuedCount(), 1);

    Set("email.tls.ca", pki.CaFile);
    Set("email.tls.pin", test::KeyPin(pki.OtherName.CertFile) + ";" + test::KeyPin(pki.Local.CertFile));
    ProcessResult delivered = install.RunOnce();

    EXPECT_EQ(delivered.Status, 0) << delivered.Err;
    EXPECT_EQ(WithoutInformation(delivered.Err), "") << delivered.Err;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].Tls);
    EXPECT_TRUE(messages[0].Authenticated);
    EXPECT_EQ(QueuedCount(), 0);
}

// The secure server admits TCP clients over TLS only; its certificate comes from a private CA.
config::ConnectionParameters SecureDatabase(bool ssl, const std::string& ca, bool verify) {
    config::ConnectionParameters parameters = test::ServerParameters(test::SecureTestServer());
    parameters.Ssl = ssl;
    parameters.SslCa = ca;
    parameters.SslVerify = verify;
    return parameters;
}

TEST_F(EndToEndTest, OnceReachesTheDatabaseOnlyOverTlsItCanTrust) {
    const std::string rightCa = test::SecureTestServer().TlsCa;
    {
        // A cycle that reaches the database stops at the hold switch.
        db::Connection setup;
        setup.SetParameters(SecureDatabase(true, rightCa, true));
        setup.Connect();
        setup.Execute("DELETE FROM configs");
        setup.Execute("INSERT INTO configs VALUES ('email.ssl', '0'), ('email.outlook', '1')");
    }
    struct Case {
        const char* Name;
        config::ConnectionParameters Parameters;
        int Status;
        std::string Err;  // the start of standard error
    };
    const std::string unreachable = "tesselcomsvc: the database could not be reached: ";
    for (const Case& c : {
             Case{"no SSL key", SecureDatabase(false, "", false), 2, unreachable},
             Case{"wrong CA", SecureDatabase(true, test::SharedTestPki().CaFile, true), 2,
                  unreachable + "TLS/SSL error: unable to get local issuer certificate"},
             Case{"right CA", SecureDatabase(true, rightCa, true), 0, ""},
         }) {
        SCOPED_TRACE(c.Name);
        test::TempDir installDir;
        ServiceInstall install(installDir, c.Parameters);
        ProcessResult run = install.RunOnce();
        EXPECT_EQ(run.Status, c.Status) << run.Err;
        EXPECT_EQ(run.Err.substr(0, c.Err.size()), c.Err) << run.Err;
    }
}

}  // namespace
}  // namespace tessel::e2e
