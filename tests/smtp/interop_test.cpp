// Delivery to an independent SMTP implementation (Debian's aiosmtpd): AUTH LOGIN, a multipart message,
// STARTTLS with a self-signed and an expired certificate.
#include <gtest/gtest.h>

#include "mime/compose.h"
#include "mail/send_email.h"
#include "session_fixture.h"
#include "support/aiosmtpd_server.h"
#include "support/header_value.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace tessel::smtp::test {
namespace {

using tessel::test::AiosmtpdServer;

// Undotted - the text as the server stores it: a leading dot doubled for transport is single again.
std::string Undotted(const std::string& text) {
    std::string result;
    bool lineStart = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lineStart && text[i] == '.' && i + 1 < text.size() && text[i + 1] == '.') {
            continue;
        }
        result += text[i];
        lineStart = text[i] == '\n';
    }
    return result;
}

class InteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tessel::test::AiosmtpdAvailable()) {
            GTEST_SKIP() << "python3-aiosmtpd is not installed";
        }
    }
    tessel::test::TempDir files_;
};

TEST_F(InteropTest, MultipartMessageWithAttachmentArrivesWithAuthLogin) {
    AiosmtpdServer server({"mailer", "pa ss:word", nullptr});
    std::string attachment;
    for (int i = 0; i < 3000; ++i) {
        attachment += static_cast<char>(i * 7 % 256);
    }
    std::string path = files_.Write("report.bin", attachment);
    const std::string body = "Hello,\r\n.a line that starts with a dot\r\nbye\r\n";

    mail::SmtpMailSender sender(TestTimeouts());
    const SmtpAccount account{"127.0.0.1", server.Port(), "mailer", "pa ss:word"};
    DeliveryResult result = sender.SendEmail("Tessel <tessel@example.test>", "Someone <someone@example.test>",
                                             "Report", body, {path}, account, 1);

    ASSERT_TRUE(result.Delivered) << result.Reason;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].MailFrom, "tessel@example.test");
    EXPECT_EQ(messages[0].Recipients, std::vector<std::string>{"someone@example.test"});
    EXPECT_TRUE(messages[0].Authenticated);
    EXPECT_FALSE(messages[0].Tls);
    OutgoingMessage composed = mime::ComposeMessage("Tessel <tessel@example.test>", "Someone <someone@example.test>",
                                              "Report", body, {path});
    composed.MessageId = mail::MessageIdFor(composed, 1, "Tessel <tessel@example.test>", "Report", body, account,
                                            mime::MessageIdKey("", ""));
    EXPECT_EQ(WithoutDate(messages[0].Data), WithoutDate(Undotted(Rendered(composed))));
}

// A server that refuses lines over 998 bytes ("500 Line too long") takes the message, and the
// text is the one rendered.
TEST_F(InteropTest, MessageWithALongLatin1LineIsTaken) {
    AiosmtpdServer server({"", "", nullptr});
    std::string line;
    while (line.size() < 1799) line += "relat\xF3rio de mar\xE7o ";
    line.resize(1799);
    const std::string body = "Bom dia,\r\n" + line + "\r\n.\r\n";

    mail::SmtpMailSender sender(TestTimeouts());
    const SmtpAccount account{"127.0.0.1", server.Port(), "", ""};
    DeliveryResult result = sender.SendEmail("a@example.test", "b@example.test", "Longo", body, {}, account, 3);

    ASSERT_TRUE(result.Delivered) << result.Reason;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    const std::string& data = messages[0].Data;
    EXPECT_NE(data.find("\r\nContent-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
    EXPECT_NE(data.find("\r\nContent-Type: text/plain; charset=ISO-8859-1\r\n"), std::string::npos);
    OutgoingMessage composed = mime::ComposeMessage("a@example.test", "b@example.test", "Longo", body, {});
    composed.MessageId = mail::MessageIdFor(composed, 3, "a@example.test", "Longo", body, account, mime::MessageIdKey("", ""));
    EXPECT_EQ(WithoutDate(data), WithoutDate(Undotted(Rendered(composed))));
}

// A receiver can drop the second copy of a retried message: every attempt of one row and recipient
// carries the same Message-ID, and nothing else shares it.
TEST_F(InteropTest, MessageIdRepeatsOnlyForTheSameRowAndRecipient) {
    AiosmtpdServer server({"", "", nullptr});
    SmtpAccount account{"127.0.0.1", server.Port(), "", ""};
    account.Helo = "relay.example.test";
    mail::SmtpMailSender sender(TestTimeouts());
    const struct {
        std::int32_t row;
        const char* recipient;
    } attempts[] = {{5, "a@example.test"}, {5, " a@example.test"}, {5, "b@example.test"}, {6, "a@example.test"}};
    for (const auto& attempt : attempts) {
        DeliveryResult result = sender.SendEmail("Tessel <t@example.test>", attempt.recipient, "Same", "Same text\r\n",
                                                 {}, account, attempt.row);
        ASSERT_TRUE(result.Delivered) << result.Reason;
    }
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 4u);
    std::vector<std::string> ids;
    for (const auto& message : messages) ids.push_back(tessel::test::HeaderValue(message.Data, "Message-ID"));
    EXPECT_TRUE(ids[0].starts_with("<5.") && ids[0].ends_with("@relay.example.test>")) << ids[0];
    EXPECT_EQ(ids[1], ids[0]) << "a second attempt of the same row and recipient";
    EXPECT_NE(ids[2], ids[0]) << "another recipient of the row";
    EXPECT_NE(ids[3], ids[0]) << "another row";
    EXPECT_NE(ids[3], ids[2]);
}

TEST_F(InteropTest, WrongPasswordIsRefusedBeforeTheTransaction) {
    AiosmtpdServer server({"mailer", "right", nullptr});
    DeliveryResult result = DeliverMessage(PlainMessage(), "127.0.0.1", "mailer", "wrong", server.Port(), false,
                                           TestTimeouts());
    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(ClassOf(result), FailureClass::Session);
    EXPECT_TRUE(server.Messages().empty());
}

TEST_F(InteropTest, StartTlsWithAuthLoginTwiceInOneProcess) {
    auto certificate = tessel::test::MakeTestCertificate(files_.Path());
    AiosmtpdServer server({"mailer", "secret", &certificate});
    for (int round = 0; round < 2; ++round) {
        DeliveryResult result = DeliverMessage(PlainMessage(), "localhost", "mailer", "secret", server.Port(),
                                               true, TestTimeouts());
        ASSERT_TRUE(result.Delivered) << "round " << round << ": " << result.Reason;
    }
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (const auto& message : messages) {
        EXPECT_TRUE(message.Tls);
        EXPECT_TRUE(message.Authenticated);
        EXPECT_EQ(message.Recipients, std::vector<std::string>{"rcpt@example.test"});
        EXPECT_EQ(WithoutDate(message.Data), WithoutDate(Undotted(Rendered(PlainMessage()))));
    }
}

TEST_F(InteropTest, StartTlsWithAnExpiredCertificate) {
    auto certificate = tessel::test::MakeTestCertificate(files_.Path(), true);
    AiosmtpdServer server({"", "", &certificate});
    DeliveryResult result =
        DeliverMessage(PlainMessage(), "127.0.0.1", "", "", server.Port(), true, TestTimeouts());
    ASSERT_TRUE(result.Delivered) << result.Reason;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].Tls);
}

TEST_F(InteropTest, ImplicitTlsWithVerificationAndAuthLogin) {
    const tessel::test::TestPki& pki = tessel::test::SharedTestPki();
    AiosmtpdServer::Options options{"mailer", "secret"};
    options.ImplicitTls = &pki.Local;
    AiosmtpdServer server(options);
    SmtpAccount account{"localhost", server.Port(), "mailer", "secret"};
    account.ImplicitTls = true;
    account.TlsVerify = true;
    account.TlsCa = pki.CaFile;
    account.TlsPins = tessel::test::KeyPin(pki.Local.CertFile);

    DeliveryResult result = mail::DeliverMessage(PlainMessage(), account, TestTimeouts());

    ASSERT_TRUE(result.Delivered) << result.Reason;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].Tls);
    EXPECT_TRUE(messages[0].Authenticated);
    EXPECT_EQ(WithoutDate(messages[0].Data), WithoutDate(Undotted(Rendered(PlainMessage()))));
}

// The server answers 530 to every message until STARTTLS: the settings, not the message, are at
// fault, so the failure counts like one before the transaction (the queue waits).
TEST_F(InteropTest, WithoutTlsRequestedAServerRequiringStartTlsRefusesTheTransaction) {
    auto certificate = tessel::test::MakeTestCertificate(files_.Path());
    AiosmtpdServer server({"", "", &certificate});
    DeliveryResult result =
        DeliverMessage(PlainMessage(), "127.0.0.1", "", "", server.Port(), false, TestTimeouts());
    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(ClassOf(result), FailureClass::Session);
    EXPECT_TRUE(server.Messages().empty());
}

}  // namespace
}  // namespace tessel::smtp::test
