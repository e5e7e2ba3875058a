// A message sent again by a later cycle is the same message to its receiver.
#include "e2e_fixture.h"
#include "support/header_value.h"
#include "support/scripted_smtp_server.h"
#include "support/smtp_sink.h"

namespace tessel::e2e {
namespace {

// The server took the text in, then answered its end with 421: the row waits for a later cycle,
// and its second copy carries the Message-ID of the first, so a receiver that did keep the first
// can drop the second. email.helo from the settings is the EHLO name and the ID's right side.
TEST_F(EndToEndTest, ARetriedMessageKeepsItsMessageId) {
    Set("email.helo", "relay.example.test");
    test::ScriptedSmtpServer first;
    first.Reply("220 x").Expect("EHLO relay.example.test").Reply("250 x")
        .Expect("RSET").Reply("250 ok")
        .Expect("MAIL FROM: <tessel@example.test>").Reply("250 ok")
        .Expect("RCPT TO:<ana@example.test>").Reply("250 ok")
        .Expect("DATA").Reply("354 go")
        .ExpectData().Reply("421 4.3.2 Service shutting down")
        .Close();
    first.Start();
    MailServer(first.Port());
    const int row = Queue("ana@example.test", "Relat\xF3rio", "Linha 1\r\n");
    mail::SmtpMailSender sender(TestTimeouts());
    cycle::WorkCycle cycle = Cycle(sender);

    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
    first.Join();
    EXPECT_TRUE(first.Mismatches().empty()) << first.Mismatches().front();
    ASSERT_EQ(QueuedIds(), std::to_string(row));

    test::SmtpSink second;
    MailServer(second.Port());
    Later(cycle::kFirstBackOff);
    EXPECT_EQ(cycle.RunCycle(), cycle::CycleOutcome::Completed);
    ASSERT_EQ(second.Count(), 1u);
    const std::string id = test::HeaderValue(first.Data(), "Message-ID");
    EXPECT_TRUE(id.starts_with("<" + std::to_string(row) + ".") && id.ends_with("@relay.example.test>")) << id;
    EXPECT_EQ(test::HeaderValue(second.Messages()[0].Data, "Message-ID"), id);
    EXPECT_EQ(QueuedCount(), 0);
}

}  // namespace
}  // namespace tessel::e2e
