// email.rate end to end: the messages reach a real SMTP peer in order, spread over the span the
// rate asks for.
#include <mutex>

#include "e2e_fixture.h"
#include "support/smtp_sink.h"

namespace tessel::e2e {
namespace {

TEST_F(EndToEndTest, TheRateSpreadsTheMessagesAtTheServer) {
    using Steady = std::chrono::steady_clock;
    std::mutex lock;
    std::vector<std::pair<std::string, Steady::time_point>> arrivals;
    test::SmtpSink::Options options;
    options.OnMessage = [&](const test::SinkMessage& message) {
        std::lock_guard hold(lock);
        arrivals.emplace_back(message.Recipients.empty() ? "" : message.Recipients.front(), Steady::now());
    };
    test::SmtpSink sink(options);
    MailServer(sink.Port());
    Set("email.rate", "120");
    for (int i = 1; i <= 4; ++i) Queue("r" + std::to_string(i) + "@example.test");
    mail::SmtpMailSender sender(TestTimeouts());
    cycle::WorkCycle cycle = Cycle(sender);

    ASSERT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
    ASSERT_TRUE(sink.WaitForCount(4, std::chrono::milliseconds(60000)));
    std::lock_guard hold(lock);
    ASSERT_EQ(arrivals.size(), 4u);
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        EXPECT_TRUE(Contains(arrivals[i].first, "r" + std::to_string(i + 1) + "@example.test")) << arrivals[i].first;
        // 120 a minute: each message at least half a second after the one before.
        if (i > 0) {
            EXPECT_GE(arrivals[i].second - arrivals[i - 1].second, std::chrono::milliseconds(500)) << i;
        }
    }
    EXPECT_EQ(QueuedCount(), 0);
}

}  // namespace
}  // namespace tessel::e2e
