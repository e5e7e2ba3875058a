// Faults found end to end: refusals that every message would get, and a database that stops answering.
#include <future>

#include "e2e_fixture.h"
#include "support/smtp_sink.h"
#include "support/tcp_proxy.h"

namespace tessel::e2e {
namespace {

using namespace std::chrono_literals;

struct RefusalCase {
    const char* Name;
    const char* Step;   // the command whose reply is replaced: "MAIL", "RCPT" or "." (end of text)
    const char* Reply;  // what the server answers there, once, in the second transaction
};

// Replies that refuse every message alike: a server closing the channel, and a server that wants
// authentication (or TLS) the settings do not give.
const RefusalCase kRefusals[] = {
    {"server closing at MAIL FROM", "MAIL", "421 4.3.2 Service shutting down"},
    {"server closing after the text", ".", "421 4.3.2 Service shutting down"},
    {"authentication required", "MAIL", "530 5.7.0 Authentication required"},
    {"TLS required at a recipient", "RCPT", "530 5.7.0 Must issue a STARTTLS command first"},
};

// Such a reply defers the drain: the message stays queued and goes with a later cycle, after its
// back-off.
TEST_F(EndToEndTest, ServerWideRefusalKeepsTheMessageForALaterCycle) {
    for (const RefusalCase& refusal : kRefusals) {
        SCOPED_TRACE(refusal.Name);
        sql().Exec("DELETE FROM mail_spooler");
        std::atomic<int> transactions{0};
        std::atomic<bool> answered{false};
        test::SmtpSink::Options options;
        options.Answer = [&](const std::string& command) -> std::string {
            if (command.starts_with("MAIL")) ++transactions;
            bool here = std::string(refusal.Step) == "." ? command == "." : command.starts_with(refusal.Step);
            if (here && transactions == 2 && !answered.exchange(true)) return refusal.Reply;
            return "";
        };
        test::SmtpSink sink(options);
        MailServer(sink.Port());
        Queue("ana@example.test");
        int second = Queue("bruno@example.test");
        Queue("carla@example.test");
        mail::SmtpMailSender sender(TestTimeouts());
        cycle::WorkCycle cycle = Cycle(sender);

        EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
        EXPECT_TRUE(Contains("," + QueuedIds() + ",", "," + std::to_string(second) + ","))
            << "the refused message is still queued";
        Later(cycle::kFirstBackOff);
        EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);

        EXPECT_EQ(sink.RecipientCounts(), OnceEach({"ana@example.test", "bruno@example.test", "carla@example.test"}));
        EXPECT_EQ(QueuedCount(), 0);
    }
}

// A database server that stops answering without closing the connection (a host that died, a
// dropped network path) must end the cycle with an error, not block it and every stop request.
TEST_F(EndToEndTest, DatabaseThatStopsAnsweringEndsTheCycleInsteadOfBlockingIt) {
    test::TcpProxy proxy(test::TestServer().Host, test::TestServer().Port);
    config::ConnectionParameters parameters = tdb.Parameters();
    parameters.Server = "127.0.0.1";
    parameters.Port = proxy.Port();
    db.SetParameters(parameters);
    db.Cn().SetNetworkTimeout(3s);
    test::SmtpSink::Options options;
    options.OnMessage = [&](const test::SinkMessage&) { proxy.Freeze(); };
    test::SmtpSink sink(options);
    MailServer(sink.Port());
    Queue("ana@example.test");
    mail::SmtpMailSender sender(TestTimeouts());
    cycle::WorkCycle cycle = Cycle(sender);

    auto run = std::async(std::launch::async, [&] {
        try {
            cycle.RunCycle();
            return std::string("completed");
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
    });
    bool ended = run.wait_for(120s) == std::future_status::ready;
    proxy.Down();  // releases a blocked cycle, so the test itself ends
    ASSERT_TRUE(ended) << "the cycle still waited for the database after 120 s; then: " << run.get();
    EXPECT_NE(run.get(), "completed");
}

}  // namespace
}  // namespace tessel::e2e
