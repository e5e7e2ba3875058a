// The SMTP dialogue against a scripted server: command texts, reply handling, transaction variants,
// cleanup and where a failure is classified.
#include <gtest/gtest.h>

#include "mime/address_parser.h"
#include "reply_text.h"
#include "session_fixture.h"
#include "smtp/helo_name.h"
#include "util/base64.h"

namespace tessel::smtp::test {
namespace {

constexpr const char* kEhloAuthLogin = "250-mail.test Hello\r\n250-AUTH LOGIN PLAIN\r\n250 SIZE 1000000";
constexpr const char* kEhloPipelining = "250-mail.test Hello\r\n250-PIPELINING\r\n250 8BITMIME";

void PlainStart(tessel::test::ScriptedSmtpServer& server, const char* ehlo = "250-x\r\n250 AUTH LOGIN") {
    server.Reply("220 x").Expect(Ehlo()).Reply(ehlo);
}

TEST(SmtpSessionTest, PlainDialogueWithAuthLoginByteForByte) {
    Session s;
    OutgoingMessage message = PlainMessage();
    s.Server.Reply("220 mail.test ESMTP")
        .Expect(Ehlo()).Reply(kEhloAuthLogin)
        .Expect("AUTH LOGIN").Reply("334 VXNlcm5hbWU6")
        .Expect(Base64Encode("user")).Reply("334 UGFzc3dvcmQ6")
        .Expect(Base64Encode("secret")).Reply("235 2.7.0 Authenticated")
        .Expect("RSET").Reply("250 2.0.0 Reset")
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 2.1.0 Sender OK")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 2.1.5 Recipient OK")
        .Expect("DATA").Reply("354 Go ahead")
        .ExpectData().Reply("250 2.0.0 Queued")
        .Expect("QUIT").Reply("221 2.0.0 Bye");

    DeliveryResult result = s.Deliver(message, "user", "secret");

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_EQ(ClassOf(result), FailureClass::None);
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    std::string data = s.Server.Data();
    EXPECT_EQ(WithoutDate(data), WithoutDate(Rendered(message)));
    EXPECT_EQ(s.Server.Received(),
              Crlf({Ehlo(), "AUTH LOGIN", Base64Encode("user"), Base64Encode("secret"), "RSET",
                    "MAIL FROM: <sender@example.test>", "RCPT TO:<rcpt@example.test>", "DATA"}) +
                  data + Crlf({".", "QUIT"}));
    // The final "." leaves in the same write as the message text.
    ASSERT_GE(s.Writes.size(), 2u);
    EXPECT_EQ(s.Writes[s.Writes.size() - 2], data + ".\r\n");
}

TEST(SmtpSessionTest, PipelinedTransactionLeavesInOneWriteAndRepliesAreReadInOrder) {
    Session s;
    OutgoingMessage message = PlainMessage();
    message.Recipients = {{"Last, First", "one@example.test"}, {"", "two@example.test"}};
    s.Server.Reply("220 mail.test")
        .Expect(Ehlo()).Reply(kEhloPipelining)
        .Expect("RSET").Expect("MAIL FROM: <sender@example.test>")
        .Expect("RCPT TO:<one@example.test>").Expect("RCPT TO:<two@example.test>").Expect("DATA")
        .SendSplit("250 reset\r\n250 sender\r\n250 one\r\n251 two\r\n354 go\r\n", 7)
        .ExpectData().Reply("250 queued")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(message);

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    ASSERT_GE(s.Writes.size(), 2u);
    EXPECT_EQ(s.Writes[1], Crlf({"RSET", "MAIL FROM: <sender@example.test>", "RCPT TO:<one@example.test>",
                                 "RCPT TO:<two@example.test>", "DATA"}));
}

TEST(SmtpSessionTest, LongMessageLeavesInBoundedWritesWithTheDotInTheLast) {
    Session s;
    OutgoingMessage message = PlainMessage();
    std::string text;
    for (int i = 0; i < 4000; ++i) text += std::string(99, 'b') + "\r\n";  // about 400 KiB of text
    message.Body = mime::BodyText(std::move(text));
    PlainStart(s.Server, "250 x");
    s.Server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go")
        .ExpectData().Reply("250 ok").Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(message);

    ASSERT_TRUE(result.Delivered) << result.Reason;
    // Writes: EHLO, RSET, MAIL, RCPT, DATA, the message in blocks, QUIT.
    ASSERT_GT(s.Writes.size(), 8u);
    std::vector<std::string> blocks(s.Writes.begin() + 5, s.Writes.end() - 1);
    std::string joined;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i + 1 < blocks.size()) {
            EXPECT_GE(blocks[i].size(), kDataFlushBytes);
            EXPECT_LT(blocks[i].size(), kDataFlushBytes + 1024);
        }
        joined += blocks[i];
    }
    EXPECT_EQ(joined, s.Server.Data() + ".\r\n");
}

TEST(SmtpSessionTest, EhloRefusedFallsBackToHeloWithoutCapabilities) {
    Session s;
    s.Server.Reply("220 old.test")
        .Expect(Ehlo()).Reply("502 5.5.1 Command not implemented")
        .Expect("HELO " + LocalHostName()).Reply("250 old.test")
        .Expect("RSET").Reply("250 ok")  // no AUTH although a user name is set
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go")
        .ExpectData().Reply("250 ok")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(PlainMessage(), "user", "secret");

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
}

TEST(SmtpSessionTest, AuthLoginIsUsedOnlyWhenOfferedAndAUserIsSet) {
    struct Case {
        const char* Name;
        std::string Ehlo;
        std::string User;
        std::string Password;
        bool ExpectAuth;
    };
    const Case cases[] = {
        {"AUTH=LOGIN", "250-x\r\n250 AUTH=LOGIN", "user", "pw", true},
        {"AUTH PLAIN LOGIN", "250-x\r\n250 AUTH PLAIN LOGIN", "user", "pw", true},
        {"lower case auth line", "250-x\r\n250 auth login", "user", "pw", true},
        {"neither LOGIN nor PLAIN", "250-x\r\n250 AUTH CRAM-MD5 DIGEST-MD5", "user", "pw", false},
        {"no AUTH line", "250-x\r\n250 SIZE 10", "user", "pw", false},
        {"AUTHLOGIN is no AUTH line", "250-x\r\n250 AUTHLOGIN", "user", "pw", false},
        {"empty user", "250-x\r\n250 AUTH LOGIN", "", "pw", false},
        {"empty password", "250-x\r\n250 AUTH LOGIN", "user", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Session s;
        s.Server.Reply("220 x").Expect(Ehlo()).Reply(c.Ehlo);
        if (c.ExpectAuth) {
            // An empty password goes out as an empty line.
            s.Server.Expect("AUTH LOGIN").Reply("334 VXNlcm5hbWU6")
                .Expect(Base64Encode(c.User)).Reply("334 UGFzc3dvcmQ6")
                .Expect(Base64Encode(c.Password)).Reply("235 ok");
        }
        s.Server.Expect("RSET").Reply("250 ok")
            .Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
            .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok")
            .Expect("DATA").Reply("354 go")
            .ExpectData().Reply("250 ok")
            .Expect("QUIT").Reply("221 bye");
        DeliveryResult result = s.Deliver(PlainMessage(), c.User, c.Password);
        EXPECT_TRUE(result.Delivered) << result.Reason;
        EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    }
}

TEST(SmtpSessionTest, RefusedRecipientAmongAcceptedOnesGetsItsOwnReplyAndTheOthersTheMessage) {
    Session s;
    OutgoingMessage message = PlainMessage();
    message.Recipients = {{"", "bad@example.test"}, {"", "good@example.test"}};
    s.Server.Reply("220 x").Expect(Ehlo()).Reply(kEhloPipelining)
        .Expect("RSET").Expect("MAIL FROM: <sender@example.test>")
        .Expect("RCPT TO:<bad@example.test>").Expect("RCPT TO:<good@example.test>").Expect("DATA")
        .Reply("250 ok\r\n250 ok\r\n550 5.1.1 No such user\r\n250 ok\r\n354 go")
        .ExpectData().Reply("250 queued")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(message);

    EXPECT_TRUE(result.Delivered) << result.Reason;
    ASSERT_EQ(result.Recipients.size(), 2u);
    EXPECT_EQ(result.Recipients[0].Address, "bad@example.test");
    EXPECT_EQ(result.Recipients[0].Code, 550);
    EXPECT_EQ(result.Recipients[0].Reply, "550 5.1.1 No such user");
    EXPECT_EQ(result.Recipients[1].Code, 250);
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    EXPECT_EQ(WithoutDate(s.Server.Data()), WithoutDate(Rendered(message)));
}

TEST(SmtpSessionTest, PipelinedTransactionWithNoRecipientAcceptedSendsNoTextAfterAStray354) {
    Session s;
    s.Server.Reply("220 x").Expect(Ehlo()).Reply(kEhloPipelining)
        .Expect("RSET").Expect("MAIL FROM: <sender@example.test>").Expect("RCPT TO:<rcpt@example.test>")
        .Expect("DATA").Reply("250 ok\r\n250 ok\r\n550 5.1.1 No such user\r\n354 go")
        .Expect(".").Reply("554 no valid recipients")
        .Expect("RSET").Reply("250 ok")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(PlainMessage());

    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(result.State, SessionState::RcptTo);
    EXPECT_EQ(result.ReplyCode, 550);
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
}

TEST(SmtpSessionTest, RefusedRsetDoesNotFailATransactionTheServerTook) {
    Session s;
    PlainStart(s.Server, kEhloPipelining);
    s.Server.Expect("RSET").Expect("MAIL FROM: <sender@example.test>").Expect("RCPT TO:<rcpt@example.test>")
        .Expect("DATA").Reply("500 what\r\n250 ok\r\n250 ok\r\n354 go")
        .ExpectData().Reply("250 queued")
        .Expect("QUIT").Reply("221 bye");

    EXPECT_TRUE(s.Deliver(PlainMessage()).Delivered);
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
}

// With PIPELINING the session's QUIT leaves with the final "." of its last message: the server
// below reads both before it answers either, which a client waiting for the first reply would
// never get past. The reply to the "." still decides the message, and no RSET follows a QUIT.
TEST(SmtpSessionTest, WithPipeliningTheQuitLeavesWithTheFinalDotAndItsReplyStillDecides) {
    const struct {
        const char* name;
        std::function<void(tessel::test::ScriptedSmtpServer&)> answer;
        FailureClass stage;
        int code;
        bool readsQuit = true;  // the server reads the QUIT before it answers the "."
    } cases[] = {
        {"taken", [](auto& s) { s.Reply("250 2.0.0 queued\r\n221 2.0.0 bye"); }, FailureClass::None, 0},
        {"taken, closed without a goodbye", [](auto& s) { s.Reply("250 2.0.0 queued").Close(); },
         FailureClass::None, 0},
        {"deferred", [](auto& s) { s.Reply("451 4.3.0 try later\r\n221 2.0.0 bye"); }, FailureClass::Temporary, 451},
        {"refused", [](auto& s) { s.Reply("554 5.7.1 rejected\r\n221 2.0.0 bye"); }, FailureClass::Transaction, 554},
        {"closing", [](auto& s) { s.Reply("421 4.3.2 shutting down").Close(); }, FailureClass::Temporary, 421},
        // A server that drops the connection at once after its 250 (a reset: the QUIT may be unread)
        // took the message all the same.
        {"taken, then a reset", [](auto& s) { s.Reply("250 2.0.0 queued").Reset(); }, FailureClass::None, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        PlainStart(s.Server, kEhloPipelining);
        s.Server.Expect("RSET").Expect("MAIL FROM: <sender@example.test>").Expect("RCPT TO:<rcpt@example.test>")
            .Expect("DATA").Reply("250 ok\r\n250 ok\r\n250 ok\r\n354 go")
            .ExpectData();
        if (c.readsQuit) s.Server.Expect("QUIT");
        c.answer(s.Server);
        SessionTimeouts timeouts = TestTimeouts(5s);
        timeouts.DataEnd = 5s;  // how long a client that waits would hang here

        DeliveryResult result = s.Deliver(PlainMessage(), "", "", false, timeouts);

        EXPECT_EQ(ClassOf(result), c.stage) << result.Reason;
        EXPECT_EQ(result.Delivered, c.stage == FailureClass::None);
        if (c.code != 0) {
            EXPECT_EQ(result.ReplyCode, c.code);
            EXPECT_EQ(result.State, SessionState::DataEnd);
        }
        s.Server.Join();
        EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
        if (!c.readsQuit) continue;
        const std::string received = s.Server.Received();
        EXPECT_EQ(received.substr(received.size() - 9), ".\r\nQUIT\r\n") << received;
        EXPECT_EQ(received.find("QUIT"), received.size() - 6) << "one QUIT only";
    }
}

TEST(SmtpSessionTest, ConnectionFoundClosedAfter354SendsNoTextAndNamesTheState) {
    Session s;
    PlainStart(s.Server, "250 x");
    s.Server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go").Close();
    s.BeforeIsOpen = [&] { s.Server.Join(); };  // the close has happened before the session looks

    DeliveryResult result = s.Deliver(PlainMessage());

    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(result.State, SessionState::Text);
    EXPECT_EQ(result.Error, ErrorKind::Connection);
    EXPECT_EQ(ClassOf(result), FailureClass::Session);  // the drain defers: nothing was delivered
    EXPECT_EQ(s.Server.Received().find("Subject"), std::string::npos);
}

// Failures and what the session sends last: each case scripts the server up to the failure.
struct FailureCase {
    const char* Name;
    std::function<void(tessel::test::ScriptedSmtpServer&)> Script;
    std::string ExpectedTail;  // the last bytes the server received
    FailureClass Stage;
    bool UseTls = false;
    bool AnswersQuit = true;
};

TEST(SmtpSessionTest, FailuresEndWithTheRightCleanupAndStage) {
    const FailureCase cases[] = {
        {"greeting not 220", [](auto& s) { s.Reply("554 5.3.2 Go away"); }, "QUIT\r\n", FailureClass::Session},
        {"invalid reply code", [](auto& s) { s.Reply("abc def"); }, "QUIT\r\n", FailureClass::Session},
        {"EHLO and HELO refused",
         [](auto& s) { s.Reply("220 x").Expect(Ehlo()).Reply("502 no").Expect("HELO " + LocalHostName()).Reply("550 no"); },
         Crlf({"HELO " + LocalHostName(), "QUIT"}), FailureClass::Session},
        {"AUTH LOGIN refused",
         [](auto& s) { PlainStart(s); s.Expect("AUTH LOGIN").Reply("504 no"); },
         Crlf({"AUTH LOGIN", "QUIT"}), FailureClass::Session},
        {"password refused",
         [](auto& s) {
             PlainStart(s);
             s.Expect("AUTH LOGIN").Reply("334 a").Expect(Base64Encode("user")).Reply("334 b")
                 .Expect(Base64Encode("pw")).Reply("535 5.7.8 Bad credentials");
         },
         Crlf({Base64Encode("pw"), "QUIT"}), FailureClass::Session},
        {"MAIL FROM refused",
         [](auto& s) {
             PlainStart(s, "250 x");
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("553 no");
         },
         Crlf({"MAIL FROM: <sender@example.test>", "QUIT"}), FailureClass::Transaction},
        {"recipient refused",
         [](auto& s) {
             PlainStart(s, "250 x");
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Reply("550 no").Expect("RSET").Reply("250 ok");
         },
         Crlf({"RCPT TO:<rcpt@example.test>", "RSET", "QUIT"}), FailureClass::Transaction},
        {"DATA refused",
         [](auto& s) {
             PlainStart(s, "250 x");
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("554 no")
                 .Expect("RSET").Reply("250 ok");
         },
         Crlf({"DATA", "RSET", "QUIT"}), FailureClass::Transaction},
        {"message refused",
         [](auto& s) {
             PlainStart(s, "250 x");
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go")
                 .ExpectData().Reply("552 too big").Expect("RSET").Reply("250 ok");
         },
         Crlf({".", "RSET", "QUIT"}), FailureClass::Transaction},
        {"invalid code to a recipient: no RSET",
         [](auto& s) {
             PlainStart(s, "250 x");
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Reply("2x0 odd");
         },
         Crlf({"RCPT TO:<rcpt@example.test>", "QUIT"}), FailureClass::Session},
        {"invalid code to the message: no RSET",
         [](auto& s) {
             PlainStart(s, "250 x");
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go")
                 .ExpectData().Reply("25x odd");
         },
         Crlf({".", "QUIT"}), FailureClass::Unconfirmed},
        {"server closing at a recipient is a temporary refusal",
         [](auto& s) {
             PlainStart(s, "250 x");
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Reply("421 4.3.2 Shutting down")
                 .Expect("RSET").Reply("250 ok");
         },
         Crlf({"RCPT TO:<rcpt@example.test>", "RSET", "QUIT"}), FailureClass::Temporary},
        {"pipelined: refused recipient and DATA",
         [](auto& s) {
             PlainStart(s, kEhloPipelining);
             s.Expect("RSET").Expect("MAIL FROM: <sender@example.test>").Expect("RCPT TO:<rcpt@example.test>")
                 .Expect("DATA").Reply("250 ok\r\n250 ok\r\n550 no\r\n554 no valid recipients")
                 .Expect("RSET").Reply("250 ok");
         },
         Crlf({"DATA", "RSET", "QUIT"}), FailureClass::Transaction},
        {"QUIT answered 250",
         [](auto& s) {
             PlainStart(s, "250 x");
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go")
                 .ExpectData().Reply("250 ok").Expect("QUIT").Reply("250 not quite");
         },
         ".\r\nQUIT\r\n", FailureClass::Transaction, false, false},
        {"TLS requested, STARTTLS not offered", [](auto& s) { PlainStart(s, "250-x\r\n250 AUTH LOGIN"); },
         Crlf({Ehlo(), "QUIT"}), FailureClass::Session, true},
        {"TLS requested after HELO",
         [](auto& s) { s.Reply("220 x").Expect(Ehlo()).Reply("500 no").Expect("HELO " + LocalHostName()).Reply("250 x"); },
         Crlf({"HELO " + LocalHostName(), "QUIT"}), FailureClass::Session, true},
        {"STARTTLS answered 454",
         [](auto& s) { PlainStart(s, "250-x\r\n250 STARTTLS"); s.Expect("STARTTLS").Reply("454 4.7.0 Not now"); },
         Crlf({"STARTTLS", "QUIT"}), FailureClass::Session, true},
        {"bytes after the 220 to STARTTLS",
         [](auto& s) { PlainStart(s, "250-x\r\n250 STARTTLS"); s.Expect("STARTTLS").Send("220 go\r\n250-injected\r\n250 AUTH LOGIN\r\n"); },
         Crlf({"STARTTLS", "QUIT"}), FailureClass::Session, true},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Session s;
        c.Script(s.Server);
        if (c.AnswersQuit) {
            s.Server.Expect("QUIT").Reply("221 bye");
        }
        DeliveryResult result = s.Deliver(PlainMessage(), "user", "pw", c.UseTls);
        EXPECT_FALSE(result.Delivered);
        EXPECT_EQ(ClassOf(result), c.Stage) << result.Reason;
        EXPECT_FALSE(result.Reason.empty());
        EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
        std::string received = s.Server.Received();
        ASSERT_GE(received.size(), c.ExpectedTail.size()) << received;
        EXPECT_EQ(received.substr(received.size() - c.ExpectedTail.size()), c.ExpectedTail) << received;
        EXPECT_EQ(received.find("QUIT"), received.rfind("QUIT")) << "QUIT sent more than once";
    }
}

// What a failure inside the transaction means for the message: refused for now (4xx, with its
// code), refused for good (5xx), not taken because the connection failed before the final ".",
// or unconfirmed because it failed after it.
TEST(SmtpSessionTest, TransactionFailuresAreSortedByWhatTheyMeanForTheMessage) {
    auto upTo = [](tessel::test::ScriptedSmtpServer& s, const char* ehlo = "250 x") {
        PlainStart(s, ehlo);
        s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>");
    };
    auto toRcpt = [&](tessel::test::ScriptedSmtpServer& s) {
        upTo(s);
        s.Reply("250 ok").Expect("RCPT TO:<rcpt@example.test>");
    };
    auto toData = [&](tessel::test::ScriptedSmtpServer& s) {
        toRcpt(s);
        s.Reply("250 ok").Expect("DATA");
    };
    auto toEnd = [&](tessel::test::ScriptedSmtpServer& s) {
        toData(s);
        s.Reply("354 go").ExpectData();
    };
    struct Case {
        const char* Name;
        std::function<void(tessel::test::ScriptedSmtpServer&)> Script;
        FailureClass Stage;
        int ReplyCode;
        bool Stalls = false;  // the server stops answering: short bounds
    };
    const Case cases[] = {
        {"451 to MAIL FROM", [&](auto& s) { upTo(s); s.Reply("451 4.3.0 Try later").Expect("QUIT").Reply("221 bye"); },
         FailureClass::Temporary, 451},
        {"450 to RCPT TO (greylisting)",
         [&](auto& s) { toRcpt(s); s.Reply("450 4.2.0 Greylisted").Expect("RSET").Reply("250 ok").Expect("QUIT").Reply("221 x"); },
         FailureClass::Temporary, 450},
        {"452 to DATA", [&](auto& s) { toData(s); s.Reply("452 4.3.1 Full").Expect("RSET").Reply("250").Expect("QUIT").Reply("221"); },
         FailureClass::Temporary, 452},
        {"451 to the final dot",
         [&](auto& s) { toEnd(s); s.Reply("451 4.3.0 Local error").Expect("RSET").Reply("250").Expect("QUIT").Reply("221"); },
         FailureClass::Temporary, 451},
        {"554 to the final dot",
         [&](auto& s) { toEnd(s); s.Reply("554 5.7.1 Spam").Expect("RSET").Reply("250").Expect("QUIT").Reply("221"); },
         FailureClass::Transaction, 554},
        {"530 to MAIL FROM refuses every message", [&](auto& s) { upTo(s); s.Reply("530 5.7.0 Auth first").Expect("QUIT").Reply("221"); },
         FailureClass::Session, 530},
        {"pipelined: 451 to RCPT TO, then 554 to DATA",
         [](auto& s) {
             PlainStart(s, kEhloPipelining);
             s.Expect("RSET").Expect("MAIL FROM: <sender@example.test>").Expect("RCPT TO:<rcpt@example.test>")
                 .Expect("DATA").Reply("250 ok\r\n250 ok\r\n451 4.7.1 Greylisted\r\n554 no valid recipients")
                 .Expect("RSET").Reply("250 ok").Expect("QUIT").Reply("221");
         },
         FailureClass::Temporary, 451},
        {"closed at MAIL FROM", [&](auto& s) { upTo(s); s.Close(); }, FailureClass::Session, 0},
        {"closed at RCPT TO", [&](auto& s) { toRcpt(s); s.Close(); }, FailureClass::Session, 0},
        {"silent at RCPT TO", [&](auto& s) { toRcpt(s); }, FailureClass::Session, 0, true},
        {"garbage to DATA", [&](auto& s) { toData(s); s.Reply("abc def").Expect("QUIT").Reply("221"); },
         FailureClass::Session, 0},
        {"pipelined: closed before any reply",
         [](auto& s) {
             PlainStart(s, kEhloPipelining);
             s.Expect("RSET").Expect("MAIL FROM: <sender@example.test>").Close();
         },
         FailureClass::Session, 0},
        {"closed after the final dot", [&](auto& s) { toEnd(s); s.Close(); }, FailureClass::Unconfirmed, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Session s;
        c.Script(s.Server);
        DeliveryResult result = s.Deliver(PlainMessage(), "", "", false, TestTimeouts(c.Stalls ? 300ms : 20s));
        EXPECT_FALSE(result.Delivered);
        EXPECT_EQ(ClassOf(result), c.Stage) << result.Reason;
        EXPECT_EQ(result.ReplyCode, c.ReplyCode) << result.Reason;
        EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    }
}

TEST(SmtpSessionTest, ContinuedReplyLinesAreTakenAsTheyCome) {
    Session s;
    // Later lines are not trimmed ("PIPELINING " is no PIPELINING line), and an empty line ends the
    // reply: the plain variant follows at once.
    s.Server.Reply("220 x").Expect(Ehlo()).Send("250-x\r\n250-PIPELINING \r\n\r\n")
        .Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go")
        .ExpectData().Reply("250 ok")
        .Expect("QUIT").Reply("221 bye");

    DeliveryResult result = s.Deliver(PlainMessage());

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
}

TEST(SmtpSessionTest, LineBreakInAnEnvelopeAddressIsRefusedBeforeAnyConnection) {
    // Sent as is, the break would end the command early and the rest would reach the server as a
    // command of its own.
    for (const char* sender : {"sender@example.test\r\nRCPT TO:<other@example.test>", "a@b\nc", "a\rb@c"}) {
        SCOPED_TRACE(sender);
        OutgoingMessage message = PlainMessage();
        message.From.Address = sender;
        bool connected = false;
        TransportConnector never = [&](const std::string&, std::int32_t, bool,
                                       const SessionTimeouts&) -> std::unique_ptr<LineTransport> {
            connected = true;
            throw TransportError("unexpected");
        };
        DeliveryResult result = DeliverMessage(message, "mail.test", "", "", 25, false, TestTimeouts(), never);
        EXPECT_FALSE(result.Delivered);
        EXPECT_EQ(ClassOf(result), FailureClass::Address);
        EXPECT_FALSE(connected);
    }
}

TEST(SmtpSessionTest, ServerThatClosedAfterAcceptingGetsNoQuitAndTheMessageCounts) {
    Session s;
    PlainStart(s.Server, "250 x");
    s.Server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go")
        .ExpectData().Reply("250 queued").Close();
    // The close has happened before the session looks at the end (not before the text: it is open then).
    s.BeforeIsOpen = [&, looks = 0]() mutable {
        if (++looks == 2) s.Server.Join();
    };

    DeliveryResult result = s.Deliver(PlainMessage());

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_EQ(s.Server.Received().find("QUIT"), std::string::npos);
}

// A server that ends the connection instead of answering QUIT has taken the message all the same:
// its close crossed our QUIT, in the order or with the reset the timing gives.
TEST(SmtpSessionTest, ServerThatClosesInsteadOfAnsweringQuitKeepsTheMessageDelivered) {
    const struct {
        const char* Name;
        std::function<void(tessel::test::ScriptedSmtpServer&)> End;
    } cases[] = {
        {"closed after reading QUIT", [](auto& s) { s.Expect("QUIT").Close(); }},
        {"reset with QUIT unread", [](auto& s) { s.AwaitBytes().Reset(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Session s;
        PlainStart(s.Server, "250 x");
        s.Server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
            .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go")
            .ExpectData().Reply("250 queued");
        c.End(s.Server);

        DeliveryResult result = s.Deliver(PlainMessage());

        EXPECT_TRUE(result.Delivered) << result.Reason;
        EXPECT_EQ(ClassOf(result), FailureClass::None);
        EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
    }
}

TEST(SmtpSessionTest, RepliesInOneByteSegmentsAndBlankLinesBeforeThem) {
    Session s;
    s.Server.SendSplit("\r\n\r\n220-x\r\n220 ready\r\n", 1)
        .Expect(Ehlo()).SendSplit("250-x\r\n250-PIPELINING\r\n250 AUTH=LOGIN\r\n", 1)
        .Expect("RSET").Expect("MAIL FROM: <sender@example.test>").Expect("RCPT TO:<rcpt@example.test>")
        .Expect("DATA").SendSplit("250 a\r\n250 b\r\n250 c\r\n354 d\r\n", 1)
        .ExpectData().SendSplit("250 2.0.0 ok\r\n", 1)
        .Expect("QUIT").SendSplit("221 bye\r\n", 1);

    DeliveryResult result = s.Deliver(PlainMessage());

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(s.Server.Mismatches().empty()) << s.Server.Mismatches().front();
}

TEST(SmtpSessionTest, StalledServerFailsTheSessionAtTheBound) {
    {
        Session s;  // no greeting at all
        DeliveryResult result = s.Deliver(PlainMessage(), "", "", false, TestTimeouts(300ms));
        EXPECT_FALSE(result.Delivered);
        EXPECT_EQ(ClassOf(result), FailureClass::Session);
    }
    {
        Session s;  // silent after the message
        PlainStart(s.Server, "250 x");
        s.Server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
            .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go").ExpectData();
        SessionTimeouts timeouts = TestTimeouts(300ms);
        timeouts.DataEnd = 300ms;
        DeliveryResult result = s.Deliver(PlainMessage(), "", "", false, timeouts);
        EXPECT_FALSE(result.Delivered);
        EXPECT_EQ(ClassOf(result), FailureClass::Unconfirmed);  // the server may have the message
    }
}

TEST(SmtpSessionTest, UnreadableAttachmentAbandonsTheMessageWithoutQuit) {
    Session s;
    OutgoingMessage message = PlainMessage();
    message.Attachments = {{"/nonexistent/tessel-attachment", "tessel-attachment"}};
    PlainStart(s.Server, "250 x");
    s.Server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go");

    DeliveryResult result = s.Deliver(message);

    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(ClassOf(result), FailureClass::Transaction);
    std::string received = s.Server.Received();
    EXPECT_EQ(received.substr(received.size() - 6), "DATA\r\n");  // no partial text, no "QUIT" as text
}

TEST(SmtpSessionTest, PortRuleAndUnusableTargets) {
    struct Case {
        std::int32_t Port;
        bool Tls;
        std::int32_t Connected;
    };
    for (const Case& c : {Case{465, true, 25}, Case{465, false, 465}, Case{587, true, 587}, Case{25, false, 25}}) {
        std::vector<std::int32_t> ports;
        TransportConnector recordOnly = [&](const std::string&, std::int32_t port, bool,
                                            const SessionTimeouts&) -> std::unique_ptr<LineTransport> {
            ports.push_back(port);
            throw TransportError("not connecting in this test");
        };
        DeliveryResult result =
            DeliverMessage(PlainMessage(), "mail.test", "", "", c.Port, c.Tls, TestTimeouts(), recordOnly);
        EXPECT_EQ(ClassOf(result), FailureClass::Session);
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(ports[0], c.Connected) << c.Port << (c.Tls ? " with TLS" : "");
    }
    bool connected = false;
    TransportConnector never = [&](const std::string&, std::int32_t, bool,
                                   const SessionTimeouts&) -> std::unique_ptr<LineTransport> {
        connected = true;
        throw TransportError("unexpected");
    };
    EXPECT_EQ(ClassOf(DeliverMessage(PlainMessage(), "", "", "", 25, false, TestTimeouts(), never)),
              FailureClass::Session);
    EXPECT_EQ(ClassOf(DeliverMessage(PlainMessage(), "mail.test", "", "", 0, false, TestTimeouts(), never)),
              FailureClass::Session);
    EXPECT_FALSE(connected);
}

TEST(SmtpSessionTest, ConnectionRefusedIsASessionFailure) {
    int closedPort;
    {
        tessel::test::ScriptedSmtpServer server;
        closedPort = server.Port();
    }
    DeliveryResult result = DeliverMessage(PlainMessage(), "127.0.0.1", "", "", closedPort, false, TestTimeouts());
    EXPECT_FALSE(result.Delivered);
    EXPECT_EQ(ClassOf(result), FailureClass::Session);
    EXPECT_NE(result.Reason.find("Connection refused"), std::string::npos) << result.Reason;
}

}  // namespace
}  // namespace tessel::smtp::test

namespace tessel::smtp::test {
namespace {

TEST(HeloNameTest, ALongerNameThanADomainNameCanHoldIsNotUsed) {
    SmtpAccount account;
    account.Helo = std::string(255, 'a');
    EXPECT_EQ(HeloName(account), account.Helo);
    account.Helo += 'a';
    EXPECT_EQ(HeloName(account), LocalHostName());
}

// The server's text in records is cut, with the count of what was left out; the AUTH names of a
// flooded EHLO reply are taken in order, once each, up to the cap.
TEST(PeerTextTest, RepliesAndAuthListsAreBounded) {
    SmtpReply reply = ParseReply({"535-" + std::string(600, 'x'), "535 " + std::string(100, 'y')});
    std::string described = reply.Describe();
    EXPECT_EQ(described.size(), 512 + std::string(" [193 more bytes left out]").size()) << described;
    EXPECT_NE(described.find(" [193 more bytes left out]"), std::string::npos);

    std::vector<std::string> capabilities{"AUTH LOGIN PLAIN LOGIN"};
    std::string flood = "AUTH";
    for (int i = 0; i < 200000; ++i) flood += " M" + std::to_string(i % 1000);
    capabilities.push_back(flood);
    std::vector<std::string> names = AuthMechanisms(capabilities);
    ASSERT_EQ(names.size(), kMaxAuthNames);
    EXPECT_EQ(names[0], "LOGIN");
    EXPECT_EQ(names[1], "PLAIN");
    EXPECT_EQ(names[2], "M0");
}

}  // namespace
}  // namespace tessel::smtp::test
