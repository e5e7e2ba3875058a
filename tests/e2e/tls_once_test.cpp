// email.ssl = 1 through the real binary: one --once run delivers the whole queue over STARTTLS.
#include "e2e_fixture.h"
#include "service_process.h"
#include "support/aiosmtpd_server.h"

namespace tessel::e2e {
namespace {

TEST_F(EndToEndTest, OnceWithTlsDeliversEveryQueuedMessageOverStartTls) {
    if (!test::AiosmtpdAvailable()) GTEST_SKIP() << "python3-aiosmtpd is not installed";
    test::TempDir certificates;
    auto certificate = test::MakeTestCertificate(certificates.Path());
    // The sink requires STARTTLS, and AUTH LOGIN only over TLS.
    test::AiosmtpdServer server({"mailer", "s3cret", &certificate});
    MailServer(server.Port(), /*tls=*/true, "mailer", "s3cret");
    StoreObject("u1", "table.csv", {"a;b\r\n", "1;2\r\n"});
    Queue("ana@example.test", "First", "One");
    Queue("bruno@example.test;carla@example.test", "Second", "Two", "u1");
    Queue("dora@example.test", "Third", "Three");
    ServiceInstall install(dir, tdb.Parameters());

    ProcessResult run = install.RunOnce();

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(WithoutInformation(run.Err), "") << "information only, no warning";
    EXPECT_TRUE(Contains(run.Err, "TesselComService: Cycle done: 0 alarms dispatched, 4 delivered, 0 refused, 0 pending, "
                                  "0 deferred\n"))
        << run.Err;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 4u);
    std::vector<std::string> recipients;
    for (const auto& message : messages) {
        EXPECT_TRUE(message.Tls) << "message to " << message.Recipients.at(0) << " went in plain text";
        EXPECT_TRUE(message.Authenticated);
        recipients.push_back(message.Recipients.at(0));
    }
    EXPECT_EQ(recipients, (std::vector<std::string>{"ana@example.test", "bruno@example.test",
                                                    "carla@example.test", "dora@example.test"}));
    EXPECT_TRUE(Contains(messages[1].Data, "filename=\"table.csv\""));
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(FilesUnder(install.AttachmentDirectory()).empty());
}

}  // namespace
}  // namespace tessel::e2e
