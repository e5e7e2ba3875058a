// The line connection against a scripted peer: lines, limits, batches, closes and bounded waits.
#include <gtest/gtest.h>

#include "smtp/line_connection.h"
#include "support/scripted_smtp_server.h"

namespace tessel::smtp {
namespace {

using namespace std::chrono_literals;
using tessel::test::ScriptedSmtpServer;

// Generous bounds: only the stall tests are meant to reach theirs.
Deadline Generous() {
    return DeadlineAfter(20s);
}

struct Connected {
    LineConnection Connection{20s};
    explicit Connected(ScriptedSmtpServer& server, const std::string& host = "127.0.0.1") {
        server.Start();
        Connection.Open(host, server.Port(), false, Generous());
    }
};

TEST(LineConnectionTest, LineEndsAtLfWithOrWithoutCr) {
    ScriptedSmtpServer server;
    server.Send("one\r\ntwo\nthree\r\r\n\r\n");
    Connected c(server);
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "one");
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "two");
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "three\r");  // only one CR goes with the LF
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "");
}

TEST(LineConnectionTest, LongestLineIsCountedUpToTheLfCrIncluded) {
    const std::string longest(kMaxLineBytes, 'x');
    {
        ScriptedSmtpServer server;
        server.Send(longest + "\n");
        Connected c(server);
        EXPECT_EQ(c.Connection.ReadLine(Generous()), longest);
    }
    {
        ScriptedSmtpServer server;
        server.Send(longest + "\r\n");
        Connected c(server);
        EXPECT_THROW(c.Connection.ReadLine(Generous()), TransportError);
    }
    {
        ScriptedSmtpServer server;  // no LF at all within the limit
        server.Send(longest + "yy");
        Connected c(server);
        EXPECT_THROW(c.Connection.ReadLine(Generous()), TransportError);
    }
}

TEST(LineConnectionTest, ReplyInOneByteSegmentsYieldsWholeLines) {
    ScriptedSmtpServer server;
    server.SendSplit("250-first\r\n250 second\r\n", 1);
    Connected c(server);
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "250-first");
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "250 second");
}

TEST(LineConnectionTest, ReadFirstLineSkipsBlankLinesAndTrims) {
    ScriptedSmtpServer server;
    server.Send("\r\n  \t\r\n\r\n  220 ready \r\n");
    Connected c(server);
    EXPECT_EQ(c.Connection.ReadFirstLine(Generous()), "220 ready");
}

TEST(LineConnectionTest, CloseInTheMiddleOfALineFailsAndLosesThePart) {
    ScriptedSmtpServer server;
    server.Send("complete\r\npartial").Close();
    Connected c(server);
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "complete");
    EXPECT_THROW(c.Connection.ReadLine(Generous()), TransportError);
}

TEST(LineConnectionTest, IsOpenSeesAnOrderlyCloseUnlessBytesAreStillBuffered) {
    ScriptedSmtpServer server;
    server.Send("a\r\nb\r\n").Close();
    Connected c(server);
    server.Join();  // everything sent and the connection closed
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "a");
    EXPECT_TRUE(c.Connection.IsOpen());  // "b" still waits in the buffer
    EXPECT_EQ(c.Connection.ReadLine(Generous()), "b");
    EXPECT_FALSE(c.Connection.IsOpen());
}

TEST(LineConnectionTest, IsOpenWhileThePeerWaits) {
    ScriptedSmtpServer server;
    server.Expect("bye");
    Connected c(server);
    EXPECT_TRUE(c.Connection.IsOpen());
    c.Connection.WriteLine("bye");
    c.Connection.Close();
    EXPECT_FALSE(c.Connection.IsOpen());
    server.Join();
    EXPECT_TRUE(server.Mismatches().empty());
}

TEST(LineConnectionTest, LocalhostInAnyCaseIsTheLoopbackAddress) {
    for (const char* host : {"localhost", "LocalHost", "LOCALHOST"}) {
        ScriptedSmtpServer server;
        server.Send("hi\r\n");
        Connected c(server, host);
        EXPECT_EQ(c.Connection.ReadLine(Generous()), "hi") << host;
    }
}

TEST(LineConnectionTest, DottedAddressesAreTakenOnlyWhenWellFormed) {
    EXPECT_TRUE(ParseDottedIPv4("127.0.0.1"));
    EXPECT_TRUE(ParseDottedIPv4("255.255.255.255"));
    for (const char* text : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "1.2.3.", " 1.2.3.4", "1.2.3.4 ", "a.b.c.d",
                             "1..2.3", "", "1.2.3.1000"}) {
        EXPECT_FALSE(ParseDottedIPv4(text)) << text;
    }
}

TEST(LineConnectionTest, OpenFailsForUnusableTargets) {
    LineConnection connection(1s);
    EXPECT_THROW(connection.Open("", 25, false, Generous()), TransportError);
    EXPECT_THROW(connection.Open("127.0.0.1", 0, false, Generous()), TransportError);
    EXPECT_THROW(connection.Open("127.0.0.1", 70000, false, Generous()), TransportError);
    EXPECT_THROW(connection.Open("name.invalid", 25, false, Generous()), TransportError);

    int closedPort;
    {
        ScriptedSmtpServer server;  // a port that was free a moment ago has no listener now
        closedPort = server.Port();
    }
    // The refusal is told at the connect, with the system's reason, not at the first read.
    try {
        connection.Open("127.0.0.1", closedPort, false, Generous());
        ADD_FAILURE() << "a port without a listener was connected";
    } catch (const TransportError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot connect to 127.0.0.1:" + std::to_string(closedPort) +
                                             ": Connection refused");
    }
}

TEST(LineConnectionTest, BatchLeavesAsOneBlockAfterTheLines) {
    ScriptedSmtpServer server;
    server.Expect("RSET").Expect("MAIL FROM: <a@b>").Expect("DATA");
    Connected c(server);
    c.Connection.BeginBatch();
    c.Connection.WriteLine("RSET");
    c.Connection.WriteBytes("MAIL FROM: <a@b>\r\n");
    c.Connection.WriteLine("DATA");
    EXPECT_EQ(c.Connection.BatchSize(), 30u);
    c.Connection.EndBatch();
    EXPECT_EQ(c.Connection.BatchSize(), 0u);
    c.Connection.Close();
    server.Join();
    EXPECT_TRUE(server.Mismatches().empty());
    EXPECT_EQ(server.Received(), "RSET\r\nMAIL FROM: <a@b>\r\nDATA\r\n");
}

TEST(LineConnectionTest, ReplyDeadlineHoldsAgainstATricklingServer) {
    ScriptedSmtpServer server;
    // A byte every few milliseconds never completes a line before the short deadline.
    server.SendSplit(std::string(2000, 'x'), 1);
    Connected c(server);
    EXPECT_THROW(c.Connection.ReadLine(DeadlineAfter(300ms)), TransportError);
    c.Connection.Close();
}

TEST(LineConnectionTest, StalledServerFailsTheReadAtTheDeadline) {
    ScriptedSmtpServer server;
    Connected c(server);
    EXPECT_THROW(c.Connection.ReadLine(DeadlineAfter(200ms)), TransportError);
    EXPECT_TRUE(c.Connection.IsOpen());
}

}  // namespace
}  // namespace tessel::smtp
