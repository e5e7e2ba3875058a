// What the session demands of the server's certificate (verification, pins) and TLS from the first
// byte, against the scripted TLS peer and aiosmtpd with certificates made for the test.
#include <gtest/gtest.h>

#include <filesystem>

#include "reply_text.h"
#include "session_fixture.h"
#include "smtp/tls_peer_check.h"
#include "support/test_pki.h"

namespace tessel::smtp::test {
namespace {

using tessel::test::KeyPin;
using tessel::test::ScriptedSmtpServer;
using tessel::test::SharedTestPki;
using tessel::test::TestCertificate;
using tessel::test::TestPki;

// PlainDialogue - from the greeting's EHLO to QUIT, as a server without extensions plays it.
void PlainDialogue(ScriptedSmtpServer& server) {
    server.Expect(Ehlo()).Reply("250 x")
        .Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go").ExpectData().Reply("250 queued")
        .Expect("QUIT").Reply("221 bye");
}

DeliveryResult DeliverTo(ScriptedSmtpServer& server, SmtpAccount account) {
    account.Port = server.Port();
    server.Start();
    DeliveryResult result = mail::DeliverMessage(PlainMessage(), account, TestTimeouts());
    server.Join();
    return result;
}

SmtpAccount StartTlsAccount(const std::string& host) {
    SmtpAccount account;
    account.Host = host;
    account.UseTls = true;
    return account;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

struct CheckCase {
    const char* Name;
    TestCertificate TestPki::*Served;
    std::string Host;
    bool Verify;
    std::string Ca;    // path, or empty for the system's trust store
    std::string Pins;
    std::string Refusal;  // empty: delivered
};

std::vector<CheckCase> CheckCases() {
    const TestPki& pki = SharedTestPki();
    std::string right = KeyPin(pki.SelfSigned.CertFile);
    std::string other = KeyPin(pki.Local.CertFile);
    std::string refused = "The server's TLS certificate was refused: ";
    return {
        {"trusted CA, address", &TestPki::Local, "127.0.0.1", true, pki.CaFile, "", ""},
        {"trusted CA, name", &TestPki::Local, "localhost", true, pki.CaFile, "", ""},
        {"trusted CA in a hashed directory", &TestPki::Local, "127.0.0.1", true, pki.CaDirectory, "", ""},
        {"issued for another name", &TestPki::OtherName, "127.0.0.1", true, pki.CaFile, "",
         refused + "name mismatch (it is not issued for 127.0.0.1)"},
        {"issued for another name, by name", &TestPki::OtherName, "localhost", true, pki.CaFile, "",
         refused + "name mismatch (it is not issued for localhost)"},
        {"expired", &TestPki::Expired, "127.0.0.1", true, pki.CaFile, "", refused + "expired"},
        {"issuer not in the system's store", &TestPki::Local, "127.0.0.1", true, "", "",
         refused + "unknown issuer"},
        {"issuer not in the given CA file", &TestPki::Local, "127.0.0.1", true, pki.OtherCaFile, "",
         refused + "unknown issuer"},
        {"self-signed with verification", &TestPki::SelfSigned, "127.0.0.1", true, pki.CaFile, "",
         refused + "unknown issuer"},
        {"pinned self-signed, no verification", &TestPki::SelfSigned, "127.0.0.1", false, "", right, ""},
        {"pin of another key", &TestPki::SelfSigned, "127.0.0.1", false, "", other,
         refused + "pin mismatch (its key's SHA-256 fingerprint is " + right + ")"},
        {"one right pin among several, any case, blanks", &TestPki::SelfSigned, "127.0.0.1", false, "",
         other + "; " + Upper(right) + " ;", ""},
        {"pin and verification both pass", &TestPki::Local, "127.0.0.1", true, pki.CaFile,
         KeyPin(pki.Local.CertFile), ""},
        {"verification passes, pin does not", &TestPki::Local, "127.0.0.1", true, pki.CaFile, right,
         refused + "pin mismatch"},
        {"neither checked: an expired certificate passes", &TestPki::Expired, "127.0.0.1", false, "", "", ""},
    };
}

TEST(TlsCheckTest, StartTlsHandshakeChecksTheCertificateAsAsked) {
    const TestPki& pki = SharedTestPki();
    for (const CheckCase& c : CheckCases()) {
        SCOPED_TRACE(c.Name);
        ScriptedSmtpServer server;
        const TestCertificate& served = pki.*c.Served;
        server.Reply("220 x").Expect(Ehlo()).Reply("250-x\r\n250 STARTTLS")
            .Expect("STARTTLS").Reply("220 ready").AcceptTls(served.CertFile, served.KeyFile);
        if (c.Refusal.empty()) {
            PlainDialogue(server);
        }
        SmtpAccount account = StartTlsAccount(c.Host);
        account.TlsVerify = c.Verify;
        account.TlsCa = c.Ca;
        account.TlsPins = c.Pins;

        DeliveryResult result = DeliverTo(server, account);

        if (c.Refusal.empty()) {
            EXPECT_TRUE(result.Delivered) << result.Reason;
            EXPECT_TRUE(server.Mismatches().empty()) << server.Mismatches().front();
        } else {
            EXPECT_FALSE(result.Delivered);
            EXPECT_EQ(ClassOf(result), FailureClass::Session);  // the drain defers
            EXPECT_EQ(result.Reason.substr(0, c.Refusal.size()), c.Refusal) << result.Reason;
            // A server that failed the check hears nothing more, not even QUIT.
            EXPECT_EQ(server.Received(), Crlf({Ehlo(), "STARTTLS"}));
        }
    }
}

TEST(TlsCheckTest, UnusableSettingsFailBeforeConnecting) {
    struct Case {
        const char* Name;
        std::string Ca;
        std::string Pins;
        std::string Reason;
    };
    tessel::test::TempDir dir;
    std::string notPem = dir.Write("not-a-ca.pem", "hello\n");
    for (const Case& c : {
             Case{"missing CA file", dir.File("missing.pem"), "", "The CA certificates in email.tls.ca ("},
             Case{"CA file without a certificate", notPem, "", "The CA certificates in email.tls.ca ("},
             Case{"pin too short", "", "ab:cd", "email.tls.pin holds \"ab:cd\", which is not a SHA-256"},
             Case{"pin not hex", "", std::string(64, 'g'), "email.tls.pin holds \"ggg"},
         }) {
        SCOPED_TRACE(c.Name);
        SmtpAccount account = StartTlsAccount("127.0.0.1");
        account.Port = 25;
        account.TlsVerify = true;
        account.TlsCa = c.Ca;
        account.TlsPins = c.Pins;
        bool connected = false;
        TransportConnector never = [&](const std::string&, std::int32_t, bool,
                                       const SessionTimeouts&) -> std::unique_ptr<LineTransport> {
            connected = true;
            throw TransportError("unexpected");
        };
        DeliveryResult result = mail::DeliverMessage(PlainMessage(), account, TestTimeouts(), never);
        EXPECT_FALSE(connected);
        EXPECT_EQ(ClassOf(result), FailureClass::Session);
        EXPECT_EQ(result.Reason.substr(0, c.Reason.size()), c.Reason) << result.Reason;
    }
}

TEST(TlsCheckTest, CaFileIsReadOncePerSettingValue) {
    const TestPki& pki = SharedTestPki();
    tessel::test::TempDir dir;
    std::string ca = dir.File("ca.pem");
    std::filesystem::copy_file(pki.CaFile, ca);
    auto deliverWithCa = [&](const std::string& path) {
        ScriptedSmtpServer server;
        server.Reply("220 x").Expect(Ehlo()).Reply("250-x\r\n250 STARTTLS")
            .Expect("STARTTLS").Reply("220 ready").AcceptTls(pki.Local.CertFile, pki.Local.KeyFile);
        PlainDialogue(server);
        SmtpAccount account = StartTlsAccount("127.0.0.1");
        account.TlsVerify = true;
        account.TlsCa = path;
        return DeliverTo(server, account);
    };

    EXPECT_TRUE(deliverWithCa(ca).Delivered);
    std::filesystem::remove(ca);
    DeliveryResult again = deliverWithCa(ca);  // same setting: the store read before serves
    EXPECT_TRUE(again.Delivered) << again.Reason;
    SmtpAccount changedAccount = StartTlsAccount("127.0.0.1");
    changedAccount.TlsVerify = true;
    changedAccount.TlsCa = dir.File("gone.pem");  // a new value is read, and fails before connecting
    TransportConnector never = [](const std::string&, std::int32_t, bool,
                                  const SessionTimeouts&) -> std::unique_ptr<LineTransport> {
        throw TransportError("unexpected connect");
    };
    DeliveryResult changed = mail::DeliverMessage(PlainMessage(), changedAccount, TestTimeouts(), never);
    EXPECT_FALSE(changed.Delivered);
    EXPECT_NE(changed.Reason.find("email.tls.ca"), std::string::npos) << changed.Reason;
}

TEST(ImplicitTlsTest, TlsFromTheFirstByteThenTheDialogueWithoutStartTls) {
    const TestPki& pki = SharedTestPki();
    ScriptedSmtpServer server;
    server.AcceptTls(pki.Local.CertFile, pki.Local.KeyFile).Reply("220 x");
    // STARTTLS offered or not, it is never sent over a connection that is already encrypted.
    server.Expect(Ehlo()).Reply("250-x\r\n250-STARTTLS\r\n250 AUTH LOGIN")
        .Expect("AUTH LOGIN").Reply("334 VXNlcm5hbWU6")
        .Expect("dXNlcg==").Reply("334 UGFzc3dvcmQ6")
        .Expect("c2VjcmV0").Reply("235 ok")
        .Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go").ExpectData().Reply("250 queued")
        .Expect("QUIT").Reply("221 bye");
    SmtpAccount account;
    account.Host = "localhost";
    account.UserName = "user";
    account.Password = "secret";
    account.ImplicitTls = true;
    account.TlsVerify = true;
    account.TlsCa = pki.CaFile;

    DeliveryResult result = DeliverTo(server, account);

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(server.TlsAccepted());
    EXPECT_TRUE(server.Mismatches().empty()) << server.Mismatches().front();
}

TEST(ImplicitTlsTest, PlainPeerFailsTheHandshakeAndHearsNoPlainCommand) {
    ScriptedSmtpServer server;
    server.Reply("220 plain text server").AwaitBytes();
    SmtpAccount account;
    account.Host = "127.0.0.1";
    account.ImplicitTls = true;

    DeliveryResult result = DeliverTo(server, account);

    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(ClassOf(result), FailureClass::Session);
    EXPECT_EQ(result.Reason.rfind("TLS handshake failed: ", 0), 0u) << result.Reason;
    EXPECT_EQ(server.Received().find("EHLO"), std::string::npos);
    EXPECT_EQ(server.Received().find("QUIT"), std::string::npos);
}

TEST(ImplicitTlsTest, PortIsUsedAsConfigured) {
    struct Case {
        std::int32_t Port;
        bool StartTls;
        bool Implicit;
        std::int32_t Connected;
    };
    for (const Case& c : {Case{465, false, true, 465}, Case{465, true, true, 465}, Case{465, true, false, 25},
                          Case{587, false, true, 587}}) {
        SmtpAccount account;
        account.Host = "mail.test";
        account.Port = c.Port;
        account.UseTls = c.StartTls;
        account.ImplicitTls = c.Implicit;
        std::vector<std::int32_t> ports;
        std::vector<bool> tls;
        TransportConnector recordOnly = [&](const std::string&, std::int32_t port, bool useTls,
                                            const SessionTimeouts&) -> std::unique_ptr<LineTransport> {
            ports.push_back(port);
            tls.push_back(useTls);
            throw TransportError("not connecting in this test");
        };
        mail::DeliverMessage(PlainMessage(), account, TestTimeouts(), recordOnly);
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(ports[0], c.Connected) << c.Port;
        EXPECT_TRUE(tls[0]);
    }
}

// The port rule holds for every session, a kept one included: with implicit TLS, 465 is 465.
// Binding 465 needs root; the tests run as root.
TEST(ImplicitTlsTest, KeptSessionsOnPort465SpeakTlsFromTheFirstByte) {
    const TestPki& pki = SharedTestPki();
    ScriptedSmtpServer server(kImplicitTlsPort);
    server.AcceptTls(pki.Local.CertFile, pki.Local.KeyFile).Reply("220 x").Expect(Ehlo()).Reply("250 x");
    for (const char* rcpt : {"RCPT TO:<a@example.test>", "RCPT TO:<b@example.test>"}) {
        server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
            .Expect(rcpt).Reply("250 ok").Expect("DATA").Reply("354 go").ExpectData().Reply("250 queued");
    }
    server.Expect("QUIT").Reply("221 bye");
    server.Start();
    SmtpAccount account;
    account.Host = "127.0.0.1";
    account.Port = kImplicitTlsPort;
    account.UseTls = true;
    account.ImplicitTls = true;
    account.MessagesPerSession = 2;
    mail::SmtpMailSender sender(TestTimeouts());
    for (const char* rcpt : {"a@example.test", "b@example.test"}) {
        DeliveryResult result = sender.SendEmail("sender@example.test", rcpt, "Subject", "Body", {}, account, 1);
        EXPECT_TRUE(result.Delivered) << result.Reason;
    }
    sender.EndSession();
    server.Join();
    EXPECT_TRUE(server.TlsAccepted());
    EXPECT_TRUE(server.Mismatches().empty()) << server.Mismatches().front();
}

}  // namespace
}  // namespace tessel::smtp::test
