// The switch to TLS after STARTTLS against a scripted server that speaks TLS (or refuses to).
#include <gtest/gtest.h>

#include "reply_text.h"
#include "session_fixture.h"
#include "smtp/tls_client_context.h"
#include "support/aiosmtpd_server.h"
#include "util/base64.h"

namespace tessel::smtp::test {
namespace {

using tessel::test::TestCertificate;

const TestCertificate& Certificate(bool expired = false) {
    static tessel::test::TempDir validDir;
    static tessel::test::TempDir expiredDir;
    static const TestCertificate valid = tessel::test::MakeTestCertificate(validDir.Path());
    static const TestCertificate old = tessel::test::MakeTestCertificate(expiredDir.Path(), true);
    return expired ? old : valid;
}

void StartTlsOpening(tessel::test::ScriptedSmtpServer& server, const TestCertificate& certificate,
                     const char* firstEhlo = "250-x\r\n250 STARTTLS") {
    server.Reply("220 x").Expect(Ehlo()).Reply(firstEhlo)
        .Expect("STARTTLS").Reply("220 2.0.0 Ready to start TLS")
        .AcceptTls(certificate.CertFile, certificate.KeyFile);
}

TEST(TlsSessionTest, DialogueAfterStartTlsIsEncryptedByteForByte) {
    Session s;
    OutgoingMessage message = PlainMessage();
    StartTlsOpening(s.Server, Certificate());
    s.Server.Expect(Ehlo()).Reply("250-x\r\n250-PIPELINING\r\n250 AUTH LOGIN")
        .Expect("AUTH LOGIN").Reply("334 VXNlcm5hbWU6")
        .Expect(Base64Encode("user")).Reply("334 UGFzc3dvcmQ6")
        .Expect(Base64Encode("secret")).Reply("235 ok")
        .Expect("RSET").Expect("MAIL FROM: <sender@example.test>").Expect("RCPT TO:<rcpt@example.test>")
        .Expect("DATA").Reply("250 ok\r\n250 ok\r\n250 ok\r\n354 go")
        .ExpectData().Expect("QUIT").Reply("250 queued\r\n221 bye");  // the QUIT came with the "."

    DeliveryResult result = s.Deliver(message, "user", "secret", true);

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(s.Server.TlsAccepted());
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    EXPECT_EQ(WithoutDate(s.Server.Data()), WithoutDate(Rendered(message)));
    EXPECT_EQ(s.Server.Received(),
              Crlf({Ehlo(), "STARTTLS", Ehlo(), "AUTH LOGIN", Base64Encode("user"), Base64Encode("secret"), "RSET",
                    "MAIL FROM: <sender@example.test>", "RCPT TO:<rcpt@example.test>", "DATA"}) +
                  s.Server.Data() + Crlf({".", "QUIT"}));
}

TEST(TlsSessionTest, CapabilitiesBeforeTheHandshakeAreForgotten) {
    Session s;
    // The plain-text EHLO offers AUTH and PIPELINING; the encrypted one offers neither.
    StartTlsOpening(s.Server, Certificate(), "250-x\r\n250-PIPELINING\r\n250-AUTH LOGIN\r\n250 STARTTLS");
    s.Server.Expect(Ehlo()).Reply("250 x")
        .Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go")
        .ExpectData().Reply("250 ok")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(PlainMessage(), "user", "secret", true);

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
}

TEST(TlsSessionTest, ExpiredCertificateDoesNotFailTheHandshake) {
    Session s;
    StartTlsOpening(s.Server, Certificate(true));
    s.Server.Expect(Ehlo()).Reply("250 x").Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go").ExpectData().Reply("250 ok")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(PlainMessage(), "", "", true);

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(s.Server.TlsAccepted());
}

TEST(TlsSessionTest, ServerThatClosesOverTlsAfterAcceptingGetsNoQuit) {
    Session s;
    StartTlsOpening(s.Server, Certificate());
    s.Server.Expect(Ehlo()).Reply("250 x").Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go").ExpectData().Reply("250 ok").Close();
    s.BeforeIsOpen = [&, looks = 0]() mutable {
        if (++looks == 2) s.Server.Join();  // the first look is before the text
    };

    DeliveryResult result = s.Deliver(PlainMessage(), "", "", true);

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_EQ(s.Server.Received().find("QUIT"), std::string::npos);
}

TEST(TlsSessionTest, PlainTextAfterTheReadyReplyFailsTheHandshakeAndQuitGoesOutPlain) {
    Session s;
    s.Server.Reply("220 x").Expect(Ehlo()).Reply("250-x\r\n250 STARTTLS")
        .Expect("STARTTLS").Reply("220 go ahead")
        .AwaitBytes()  // the client hello
        .Send("500 this is not TLS\r\n")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(PlainMessage(), "", "", true);

    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(ClassOf(result), FailureClass::Session);
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
}

}  // namespace
}  // namespace tessel::smtp::test

namespace tessel::smtp::test {
namespace {

TEST(TlsClientContextTest, OneContextForEveryConnectionWithTls12AtLeast) {
    std::shared_ptr<SSL_CTX> first = SharedClientContext();
    TlsLayer a;
    TlsLayer b;
    EXPECT_EQ(SharedClientContext().get(), first.get());
    EXPECT_EQ(SSL_CTX_get_min_proto_version(first.get()), TLS1_2_VERSION);
    // The trust store was read into the shared context, not into each connection's.
    EXPECT_NE(SSL_CTX_get_cert_store(first.get()), nullptr);
}

}  // namespace
}  // namespace tessel::smtp::test
