// SendEmail: composition, one session per call, address failures before any connection.
#include <gtest/gtest.h>

#include "mail/send_email.h"
#include "smtp/session_fixture.h"

namespace tessel::mail::test {
namespace {

using smtp::DeliveryResult;
using tessel::test::ClassOf;
using tessel::test::FailureClass;
using smtp::test::Ehlo;
using smtp::test::TestTimeouts;

smtp::SmtpAccount Server(int port) {
    return smtp::SmtpAccount{"127.0.0.1", port, "", "", false};
}

int ClosedPort() {
    tessel::test::ScriptedSmtpServer server;  // free a moment ago, nobody listens there now
    return server.Port();
}

TEST(SendEmailTest, TwoCommaSeparatedRecipientsMakeOneSessionWithTwoRecipients) {
    tessel::test::ScriptedSmtpServer server;
    server.Reply("220 x").Expect(Ehlo()).Reply("250 x")
        .Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <from@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<a@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<b@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go")
        .ExpectData().Reply("250 ok")
        .Expect("QUIT").Reply("221 bye");
    server.Start();

    SmtpMailSender sender(TestTimeouts());
    DeliveryResult result = sender.SendEmail("From Name <from@example.test>", "a@example.test, B <b@example.test>",
                                             "Subject", "Body\r\n", {}, Server(server.Port()), 1);
    server.Join();

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(server.Mismatches().empty()) << server.Mismatches().front();
}

TEST(SendEmailTest, RefusedAddressTextIsAnAddressFailureWithoutConnection) {
    SmtpMailSender sender(TestTimeouts());
    // A connection attempt would end as a Session failure (refused), not as an Address failure.
    DeliveryResult result = sender.SendEmail("<a@example.test> b@example.test", "c@example.test", "s", "b", {},
                                             Server(ClosedPort()), 1);
    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(ClassOf(result), FailureClass::Address);
    EXPECT_EQ(result.Reason, "@ Outside address");

    result = sender.SendEmail("a@example.test", "<c@example.test> d@example.test", "s", "b", {},
                              Server(ClosedPort()), 1);
    EXPECT_EQ(ClassOf(result), FailureClass::Address);
}

TEST(SendEmailTest, UnreachableServerIsASessionFailureNotAnError) {
    SmtpMailSender sender(TestTimeouts());
    DeliveryResult result;
    EXPECT_NO_THROW(result = sender.SendEmail("a@example.test", "b@example.test", "s", "b", {},
                                              Server(ClosedPort()), 1));
    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(ClassOf(result), FailureClass::Session);
}

// email.helo is the name in EHLO and the right side of the Message-ID; a name that cannot stand in
// the command is not sent, the host name is.
TEST(SendEmailTest, HeloNameIsAnnouncedAndEndsTheMessageId) {
    const struct {
        const char* helo;
        std::string announced;
    } cases[] = {{"relay.example.test", "relay.example.test"},
                 {"", smtp::LocalHostName()},
                 {"bad name\r\nRSET", smtp::LocalHostName()}};
    for (const auto& c : cases) {
        tessel::test::ScriptedSmtpServer server;
        server.Reply("220 x").Expect("EHLO " + c.announced).Reply("250 x")
            .Expect("RSET").Reply("250 ok")
            .Expect("MAIL FROM: <from@example.test>").Reply("250 ok")
            .Expect("RCPT TO:<to@example.test>").Reply("250 ok")
            .Expect("DATA").Reply("354 go")
            .ExpectData().Reply("250 ok")
            .Expect("QUIT").Reply("221 bye");
        server.Start();
        smtp::SmtpAccount account = Server(server.Port());
        account.Helo = c.helo;
        SmtpMailSender sender(TestTimeouts());
        DeliveryResult result = sender.SendEmail("from@example.test", "to@example.test", "s", "b", {}, account, 9);
        server.Join();

        EXPECT_TRUE(result.Delivered) << result.Reason;
        EXPECT_TRUE(server.Mismatches().empty()) << server.Mismatches().front();
        const std::string data = server.Data();
        const std::size_t id = data.find("\r\nMessage-ID: <9.");
        ASSERT_NE(id, std::string::npos) << data;
        EXPECT_EQ(data.substr(data.find('@', id), c.announced.size() + 4), "@" + c.announced + ">\r\n");
    }
}

// A reply's control bytes (here a sequence that clears a terminal and a CR that would start a
// record line of its own) reach the failure text, and so the record, only as \xHH.
TEST(SendEmailTest, ControlBytesOfAReplyAreEscapedInTheFailure) {
    tessel::test::ScriptedSmtpServer server;
    server.Reply("220 x").Expect(Ehlo()).Reply("250 x")
        .Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <from@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<a@example.test>").Reply("550 \x1b[2Jgone\rTesselComService: \x7f forged")
        .Expect("RSET").Reply("250 ok")
        .Expect("QUIT").Reply("221 bye");
    server.Start();
    SmtpMailSender sender(TestTimeouts());
    DeliveryResult result = sender.SendEmail("from@example.test", "a@example.test", "s", "b", {},
                                             Server(server.Port()), 1);
    server.Join();
    EXPECT_FALSE(result.Delivered);
    EXPECT_NE(result.Reason.find("550 \\x1B[2Jgone\\x0DTesselComService: \\x7F forged"), std::string::npos)
        << result.Reason;
    for (char c : result.Reason) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f);
}

}  // namespace
}  // namespace tessel::mail::test
