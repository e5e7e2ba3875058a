// How a session ends when its connection fails or a stop request arrives: no QUIT into a dead or
// stalled connection, waits before the final "." cut short by a stop, the reply to "." waited for.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "session_fixture.h"
#include "util/stop_signal.h"

namespace tessel::smtp::test {
namespace {

// Greeting and EHLO of a server without extensions.
void Greet(tessel::test::ScriptedSmtpServer& server) {
    server.Reply("220 x").Expect(Ehlo()).Reply("250 x");
}

// Through the transaction up to the message text (plain dialogue: one reply per command).
void UpToTheText(tessel::test::ScriptedSmtpServer& server) {
    Greet(server);
    server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA").Reply("354 go").ExpectData();
}

bool SentQuit(const Session& s) {
    return s.Server.Received().find("QUIT") != std::string::npos;
}

TEST(StoppingSessionTest, NoQuitIntoAConnectionThatTimedOutOrBroke) {
    struct Case {
        const char* Name;
        std::function<void(tessel::test::ScriptedSmtpServer&)> Script;
    };
    const Case cases[] = {
        {"silent instead of a greeting", [](auto&) {}},
        {"silent after EHLO", [](auto& s) { s.Reply("220 x").Expect(Ehlo()); }},
        {"silent at MAIL FROM",
         [](auto& s) { Greet(s); s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>"); }},
        {"closed at RCPT TO",
         [](auto& s) {
             Greet(s);
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Close();
         }},
        {"silent after the final dot", [](auto& s) { UpToTheText(s); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Session s;
        c.Script(s.Server);
        SessionTimeouts timeouts = TestTimeouts(300ms);
        timeouts.DataEnd = 300ms;
        DeliveryResult result = s.Deliver(PlainMessage(), "", "", false, timeouts);
        EXPECT_FALSE(result.Delivered);
        EXPECT_FALSE(SentQuit(s)) << s.Server.Received();
    }
}

// RaiseWhen - raises stop on a thread of its own as soon as ready() holds.
std::jthread RaiseWhen(StopSignal& stop, std::function<bool()> ready) {
    return std::jthread([&stop, ready = std::move(ready)](std::stop_token done) {
        while (!done.stop_requested() && !ready()) std::this_thread::sleep_for(5ms);
        stop.Request();
    });
}

TEST(StoppingSessionTest, StopCutsAWaitBeforeTheFinalDotWithoutQuit) {
    struct Case {
        const char* Name;
        std::function<void(tessel::test::ScriptedSmtpServer&)> Script;
        const char* SentLast;  // the stop is raised once the server has this
    };
    const Case cases[] = {
        {"stalled greeting", [](auto&) {}, ""},
        {"stalled at MAIL FROM",
         [](auto& s) { Greet(s); s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>"); },
         "MAIL FROM"},
        {"stalled at DATA",
         [](auto& s) {
             Greet(s);
             s.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <sender@example.test>").Reply("250 ok")
                 .Expect("RCPT TO:<rcpt@example.test>").Reply("250 ok").Expect("DATA");
         },
         "DATA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Session s;
        c.Script(s.Server);
        StopSignal stop;
        // The bounds are far away: only the stop can end these waits.
        std::jthread raiser = RaiseWhen(stop, [&] { return s.Server.Received().find(c.SentLast) != std::string::npos; });
        StoppableWaits stoppable(stop.Fd());
        DeliveryResult result = s.Deliver(PlainMessage(), "", "", false, TestTimeouts(30s));
        EXPECT_EQ(ClassOf(result), FailureClass::Stopped) << result.Reason;
        EXPECT_FALSE(SentQuit(s));
    }
}

TEST(StoppingSessionTest, StopDoesNotCutTheWaitForTheReplyToTheFinalDot) {
    Session s;
    UpToTheText(s.Server);
    s.Server.Pause(500ms).Reply("250 2.0.0 taken").Expect("QUIT").Reply("221 bye");
    StopSignal stop;
    std::jthread raiser = RaiseWhen(stop, [&] { return s.Server.Received().find("\r\n.\r\n") != std::string::npos; });
    StoppableWaits stoppable(stop.Fd());

    DeliveryResult result = s.Deliver(PlainMessage(), "", "", false, TestTimeouts(30s));

    EXPECT_TRUE(result.Delivered) << result.Reason;
    EXPECT_TRUE(stop.Requested());
}

TEST(StoppingSessionTest, RaisedStopEndsASessionBeforeItConnectsAndClearedItNoLonger) {
    StopSignal stop;
    stop.Request();
    {
        Session s;
        StoppableWaits stoppable(stop.Fd());
        EXPECT_EQ(ClassOf(s.Deliver(PlainMessage())), FailureClass::Stopped);
    }
    stop.Clear();
    Session s;
    UpToTheText(s.Server);
    s.Server.Reply("250 ok").Expect("QUIT").Reply("221 bye");
    StoppableWaits stoppable(stop.Fd());
    EXPECT_TRUE(s.Deliver(PlainMessage()).Delivered);
}

}  // namespace
}  // namespace tessel::smtp::test
