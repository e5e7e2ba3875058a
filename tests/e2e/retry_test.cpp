// Mail that a server refuses for now, or loses on the way, arrives exactly once over later cycles.
#include <random>
#include <set>

#include "e2e_fixture.h"
#include "support/smtp_sink.h"

namespace tessel::e2e {
namespace {

using test::SmtpSink;

// kEnoughCycles - a bound on the cycles the tests below run; each needs far fewer.
constexpr int kEnoughCycles = 200;

std::string AddressIn(const std::string& command) {
    auto open = command.find('<');
    auto close = command.find('>', open);
    return open == std::string::npos || close == std::string::npos ? command
                                                                     : command.substr(open + 1, close - open - 1);
}

// A server that greylists (451 to the first attempt of each recipient) and drops the connection at
// random MAIL commands gets every message of a 200-row queue once.
TEST_F(EndToEndTest, GreylistingAndDroppedConnectionsDeliverEveryMessageOnce) {
    std::set<std::string> seen;  // touched on the sink's thread only
    std::mt19937 random(14);
    std::bernoulli_distribution drop(0.04);
    std::atomic<int> drops{0};
    SmtpSink::Options options;
    options.KeepData = false;
    options.Answer = [&](const std::string& command) -> std::string {
        if (!command.starts_with("RCPT")) return "";
        return seen.insert(AddressIn(command)).second ? "451 4.7.1 Greylisted, try again later" : "";
    };
    options.Drop = [&](const std::string&) {
        bool now = drop(random);
        drops += now;
        return now;
    };
    SmtpSink sink(options);
    MailServer(sink.Port());
    std::map<std::string, int> expected;
    for (int i = 1; i <= 200; ++i) {
        std::string first = "r" + std::to_string(i) + "@example.test";
        std::string recipients = first;
        expected[first] = 1;
        if (i % 10 == 0) {
            recipients += ";s" + std::to_string(i) + "@example.test";
            expected["s" + std::to_string(i) + "@example.test"] = 1;
        }
        Queue(recipients, "Row " + std::to_string(i));
    }
    mail::SmtpMailSender sender(TestTimeouts());
    cycle::WorkCycle cycle = Cycle(sender);

    int cycles = 0;
    while (QueuedCount() > 0 && cycles < kEnoughCycles) {
        ASSERT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
        ++cycles;
        Later(cycle::kLongestBackOff);
    }

    EXPECT_EQ(QueuedCount(), 0) << "after " << cycles << " cycles";
    EXPECT_EQ(sink.RecipientCounts(), expected);
    EXPECT_GT(drops, 0);
    EXPECT_TRUE(Errors().empty());
    for (const std::string& warning : Warnings()) {
        EXPECT_FALSE(Contains(warning, "not delivered") || Contains(warning, "unconfirmed")) << warning;
    }
}

// A server that allows four sessions and then closes the channel (421), and a recipient that
// always draws a 421: every other recipient gets the message once, and the rows behind go out.
TEST_F(EndToEndTest, ClosingRepliesNeitherRepeatNorHoldBackTheQueue) {
    std::atomic<int> sessions{0};
    SmtpSink::Options options;
    options.Answer = [&](const std::string& command) -> std::string {
        if (command.starts_with("MAIL") && ++sessions == 5) return "421 4.7.0 Too many connections";
        if (command.starts_with("RCPT") && Contains(command, "poison")) return "421 4.7.0 Not for this one";
        return "";
    };
    SmtpSink sink(options);
    MailServer(sink.Port());
    std::string ten;
    std::map<std::string, int> expected;
    for (int i = 1; i <= 10; ++i) {
        std::string address = "r" + std::to_string(i) + "@example.test";
        ten += (i > 1 ? ";" : "") + address;
        expected[address] = 1;
    }
    Queue(ten);
    int poisoned = Queue("a@example.test;poison@example.test;c@example.test");
    Queue("behind@example.test");
    expected["a@example.test"] = expected["c@example.test"] = expected["behind@example.test"] = 1;
    mail::SmtpMailSender sender(TestTimeouts());
    cycle::WorkCycle cycle = Cycle(sender);

    // A cycle a minute: the row that deferred waits out its back-off while those behind it go.
    for (int minute = 0; minute < 10; ++minute) {
        ASSERT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
        Later(std::chrono::minutes(1));
    }

    EXPECT_EQ(sink.RecipientCounts(), expected);
    EXPECT_EQ(QueuedIds(), std::to_string(poisoned));
    EXPECT_EQ(sql().Scalar("SELECT Destinatario FROM mail_spooler"), "poison@example.test");
}

// A server that offers PIPELINING gets a session's QUIT with the session's last message; one it
// defers at the final "." is sent again by a later cycle, once, and the messages around it go
// through as they would (one message per session, and two).
TEST_F(EndToEndTest, WithPipeliningAMessageDeferredAtItsEndGoesAgainOnceAndTheQuitRidesWithTheText) {
    const struct {
        const char* reuse;
        int quitsWithText;  // 5 + 1 sessions; or QUIT with "later" and with a4 only
        int connections;
    } cases[] = {{"1", 6, 6}, {"2", 2, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reuse);
        std::string lastRecipient;  // these two on the sink's thread only
        bool deferred = false;
        SmtpSink::Options options;
        options.Pipelining = true;
        options.Answer = [&](const std::string& command) -> std::string {
            if (command.starts_with("RCPT")) lastRecipient = AddressIn(command);
            if (command != "." || lastRecipient != "later@example.test" || deferred) return "";
            deferred = true;
            return "451 4.3.0 Try again later";
        };
        SmtpSink sink(options);
        MailServer(sink.Port());
        Set("email.reuse", c.reuse);
        std::map<std::string, int> expected;
        int later = 0;
        for (const char* name : {"a1", "later", "a3", "a4", "a5"}) {
            const std::string address = std::string(name) + "@example.test";
            expected[address] = 1;
            int id = Queue(address);
            if (address.starts_with("later")) later = id;
        }
        mail::SmtpMailSender sender(TestTimeouts());
        cycle::WorkCycle cycle = Cycle(sender);

        ASSERT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
        EXPECT_EQ(QueuedIds(), std::to_string(later));
        Later(cycle::kLongestBackOff);
        ASSERT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);

        EXPECT_EQ(QueuedIds(), "");
        EXPECT_EQ(sink.RecipientCounts(), expected);
        EXPECT_EQ(sink.QuitsWithText(), c.quitsWithText);
        EXPECT_EQ(sink.Connections(), c.connections);
    }
}

}  // namespace
}  // namespace tessel::e2e
