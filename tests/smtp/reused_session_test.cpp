// Several messages through one kept SMTP session (email.reuse): AUTH once, a transaction from its
// RSET each, the limit, a new session after a failure or a 421, QUIT when the drain ends.
#include <gtest/gtest.h>

#include <deque>

#include "mail/send_email.h"
#include "session_fixture.h"
#include "util/base64.h"

namespace tessel::smtp::test {
namespace {

using tessel::test::ScriptedSmtpServer;

constexpr const char* kEhloJustAuthLogin = "250-mail.test Hello\r\n250 AUTH LOGIN";
constexpr const char* kEhloJustPipelining = "250-mail.test Hello\r\n250 PIPELINING";

// Sessions - one scripted server per session, in the order the sender connects.
class Sessions {
public:
    explicit Sessions(int count) {
        for (int i = 0; i < count; ++i) servers_.emplace_back();
    }
    ScriptedSmtpServer& operator[](std::size_t i) { return servers_[i]; }

    // Sender - a mail sender whose n-th connection goes to the n-th server.
    mail::SmtpMailSender Sender() {
        for (ScriptedSmtpServer& server : servers_) server.Start();
        return mail::SmtpMailSender(TestTimeouts(), nullptr, [this](const std::string& host, std::int32_t, bool tls,
                                                           const SessionTimeouts& t) {
            if (next_ >= servers_.size()) throw TransportError("No more scripted servers");
            return ConnectLine(host, servers_[next_++].Port(), tls, t);
        });
    }
    std::size_t Connections() const { return next_; }
    void Join() {
        for (ScriptedSmtpServer& server : servers_) server.Join();
    }
    void ExpectNoMismatch() {
        for (std::size_t i = 0; i < servers_.size(); ++i) {
            EXPECT_TRUE(servers_[i].Mismatches().empty()) << "session " << i << ": " << servers_[i].Mismatches().front();
        }
    }

private:
    std::deque<ScriptedSmtpServer> servers_;
    std::size_t next_ = 0;
};

SmtpAccount Account(std::int32_t messagesPerSession, const std::string& user = "") {
    SmtpAccount account{"127.0.0.1", 2525, user, user.empty() ? "" : "secret", false};
    account.MessagesPerSession = messagesPerSession;
    return account;
}

void LoginSteps(ScriptedSmtpServer& server) {
    server.Reply("220 mail.test").Expect(Ehlo()).Reply(kEhloJustAuthLogin)
        .Expect("AUTH LOGIN").Reply("334 VXNlcm5hbWU6")
        .Expect(Base64Encode("user")).Reply("334 UGFzc3dvcmQ6")
        .Expect(Base64Encode("secret")).Reply("235 2.7.0 Authenticated");
}

void PlainTransaction(ScriptedSmtpServer& server, const std::string& rcpt) {
    server.Expect("RSET").Reply("250 reset")
        .Expect("MAIL FROM: <from@example.test>").Reply("250 sender")
        .Expect("RCPT TO:<" + rcpt + ">").Reply("250 recipient")
        .Expect("DATA").Reply("354 go")
        .ExpectData().Reply("250 queued");
}

void PipelinedTransaction(ScriptedSmtpServer& server, const std::string& rcpt) {
    server.Expect("RSET").Expect("MAIL FROM: <from@example.test>").Expect("RCPT TO:<" + rcpt + ">")
        .Expect("DATA").Reply("250 reset\r\n250 sender\r\n250 recipient\r\n354 go")
        .ExpectData().Reply("250 queued");
}

DeliveryResult Send(mail::SmtpMailSender& sender, const std::string& rcpt, const SmtpAccount& account) {
    return sender.SendEmail("from@example.test", rcpt, "Subject", "Body\r\n", {}, account, 1);
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(ReusedSessionTest, AuthOnceAnRsetPerTransactionAndAtMostTheLimit) {
    Sessions s(2);
    LoginSteps(s[0]);
    PlainTransaction(s[0], "a@example.test");
    PlainTransaction(s[0], "b@example.test");
    s[0].Expect("QUIT").Reply("221 bye");
    LoginSteps(s[1]);
    PlainTransaction(s[1], "c@example.test");
    s[1].Expect("QUIT").Reply("221 bye");
    {
        mail::SmtpMailSender sender = s.Sender();
        for (const char* rcpt : {"a@example.test", "b@example.test", "c@example.test"}) {
            DeliveryResult result = Send(sender, rcpt, Account(2, "user"));
            EXPECT_TRUE(result.Delivered) << rcpt << ": " << result.Reason;
        }
        EXPECT_EQ(s.Connections(), 2u);
        sender.EndSession();  // the drain has ended: QUIT on the second session
        s.Join();
    }
    s.ExpectNoMismatch();
    EXPECT_EQ(Occurrences(s[0].Received(), "AUTH LOGIN"), 1u);
    EXPECT_EQ(Occurrences(s[0].Received(), "RSET"), 2u);
    EXPECT_EQ(Occurrences(s[0].Received(), "QUIT"), 1u);
}

// The QUIT rides with the final "." only of the message that fills the session: after the others
// the next transaction follows, and the drain's end sends its QUIT alone.
TEST(ReusedSessionTest, WithPipeliningOnlyTheMessageThatReachesTheLimitTakesTheQuitAlong) {
    Sessions s(2);
    for (ScriptedSmtpServer* server : {&s[0], &s[1]}) {
        server->Reply("220 mail.test").Expect(Ehlo()).Reply(kEhloJustPipelining);
    }
    PipelinedTransaction(s[0], "a@example.test");
    s[0].Expect("RSET").Expect("MAIL FROM: <from@example.test>").Expect("RCPT TO:<b@example.test>")
        .Expect("DATA").Reply("250 reset\r\n250 sender\r\n250 recipient\r\n354 go")
        .ExpectData().Expect("QUIT").Reply("250 queued\r\n221 bye");
    PipelinedTransaction(s[1], "c@example.test");
    s[1].Expect("QUIT").Reply("221 bye");

    mail::SmtpMailSender sender = s.Sender();
    for (const char* rcpt : {"a@example.test", "b@example.test", "c@example.test"}) {
        DeliveryResult result = Send(sender, rcpt, Account(2));
        EXPECT_TRUE(result.Delivered) << rcpt << ": " << result.Reason;
    }
    sender.EndSession();
    s.Join();
    s.ExpectNoMismatch();
    EXPECT_EQ(s.Connections(), 2u);
    EXPECT_EQ(Occurrences(s[0].Received(), "QUIT"), 1u);
}

TEST(ReusedSessionTest, ARefusedMessageEndsTheSessionAndTheNextOnesGoThroughANewOne) {
    Sessions s(2);
    LoginSteps(s[0]);
    PlainTransaction(s[0], "a@example.test");
    s[0].Expect("RSET").Reply("250 reset")
        .Expect("MAIL FROM: <from@example.test>").Reply("250 sender")
        .Expect("RCPT TO:<unknown@example.test>").Reply("550 5.1.1 unknown user")
        .Expect("RSET").Reply("250 reset")
        .Expect("QUIT").Reply("221 bye");
    LoginSteps(s[1]);
    PlainTransaction(s[1], "c@example.test");
    PlainTransaction(s[1], "d@example.test");
    s[1].Expect("QUIT").Reply("221 bye");

    mail::SmtpMailSender sender = s.Sender();
    EXPECT_TRUE(Send(sender, "a@example.test", Account(10, "user")).Delivered);
    DeliveryResult refused = Send(sender, "unknown@example.test", Account(10, "user"));
    EXPECT_FALSE(refused.Delivered);
    EXPECT_EQ(ClassOf(refused), FailureClass::Transaction);
    EXPECT_NE(refused.Reason.find("550 5.1.1 unknown user"), std::string::npos) << refused.Reason;
    EXPECT_TRUE(Send(sender, "c@example.test", Account(10, "user")).Delivered);
    EXPECT_TRUE(Send(sender, "d@example.test", Account(10, "user")).Delivered);
    sender.EndSession();
    s.Join();
    s.ExpectNoMismatch();
    EXPECT_EQ(s.Connections(), 2u);
}

// A kept session that the server ends with a 421 (in reply to the next transaction, or unasked while
// idle) and closes: the session is not used again, and the message sent again (as the drain does
// when the failure came from a kept session) goes through a new one and is delivered.
TEST(ReusedSessionTest, A421EndsTheKeptSessionAndTheMessageGoesThroughANewOne) {
    const struct {
        const char* name;
        const char* ehlo;
        void (*transaction)(ScriptedSmtpServer&, const std::string&);
        void (*end)(ScriptedSmtpServer&);
    } cases[] = {
        {"421 to the pipelined transaction", kEhloJustPipelining, PipelinedTransaction,
         [](ScriptedSmtpServer& server) {
             server.Expect("RSET").Expect("MAIL FROM: <from@example.test>").Expect("RCPT TO:<b@example.test>")
                 .Expect("DATA").Reply("421 4.3.2 closing the channel").Close();
         }},
        {"421 unasked while idle", kEhloJustAuthLogin, PlainTransaction,
         [](ScriptedSmtpServer& server) { server.Reply("421 4.4.2 idle too long").Close(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Sessions s(2);
        for (ScriptedSmtpServer* server : {&s[0], &s[1]}) server->Reply("220 mail.test").Expect(Ehlo()).Reply(c.ehlo);
        c.transaction(s[0], "a@example.test");
        c.end(s[0]);
        c.transaction(s[1], "b@example.test");
        s[1].Expect("QUIT").Reply("221 bye");

        mail::SmtpMailSender sender = s.Sender();
        EXPECT_TRUE(Send(sender, "a@example.test", Account(10)).Delivered);
        DeliveryResult second = Send(sender, "b@example.test", Account(10));
        if (!second.Delivered) {
            EXPECT_EQ(second.SessionMessages, 1);
            EXPECT_EQ(ClassOf(second), FailureClass::Session);
            second = Send(sender, "b@example.test", Account(10));
        }
        EXPECT_TRUE(second.Delivered) << second.Reason;
        sender.EndSession();
        s.Join();
        // What reached the first server after its 421 depends on when the client saw it.
        EXPECT_TRUE(s[1].Mismatches().empty()) << s[1].Mismatches().front();
        EXPECT_EQ(s.Connections(), 2u);
    }
}

TEST(ReusedSessionTest, OneMessagePerSessionByDefaultAndAChangedAccountGetsANewSession) {
    Sessions s(3);
    s[0].Reply("220 mail.test").Expect(Ehlo()).Reply(kEhloJustAuthLogin);
    PlainTransaction(s[0], "a@example.test");
    s[0].Expect("QUIT").Reply("221 bye");
    s[1].Reply("220 mail.test").Expect(Ehlo()).Reply(kEhloJustAuthLogin);
    PlainTransaction(s[1], "b@example.test");
    s[1].Expect("QUIT").Reply("221 bye");
    LoginSteps(s[2]);
    PlainTransaction(s[2], "c@example.test");
    s[2].Expect("QUIT").Reply("221 bye");

    mail::SmtpMailSender sender = s.Sender();
    EXPECT_TRUE(Send(sender, "a@example.test", Account(1)).Delivered);  // QUIT right after
    EXPECT_TRUE(Send(sender, "b@example.test", Account(5)).Delivered);
    EXPECT_TRUE(Send(sender, "c@example.test", Account(5, "user")).Delivered);
    sender.EndSession();
    sender.EndSession();  // nothing open: nothing happens
    s.Join();
    s.ExpectNoMismatch();
    EXPECT_EQ(s.Connections(), 3u);
}

}  // namespace
}  // namespace tessel::smtp::test
