// One recipient entry of three addresses against a real session: who gets the message, what stays
// in Destinatario and which warnings are written, with and without PIPELINING.
#include <gtest/gtest.h>

#include "cycle/spool_drain.h"
#include "cycle_fixture.h"
#include "mail/send_email.h"
#include "support/scripted_smtp_server.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

using tessel::test::ScriptedSmtpServer;

constexpr const char* kEntry = "p1@example, p2@example, p3@example";

struct EntryCase {
    const char* Name;
    int Codes[3];               // the replies to the three RCPT TO
    bool TextSent;              // the message text reached the server
    std::string Remaining;      // Destinatario afterwards; empty: the row is gone
    std::vector<std::string> Warnings;  // a part of each warning, in order
};

std::string ReplyTo(int code) { return std::to_string(code) + (code < 300 ? " ok" : " no"); }

// Script - the server's side of the case: with PIPELINING the replies come together; without it a
// refused RCPT TO ends the transaction (RSET, QUIT).
void Script(ScriptedSmtpServer& server, const EntryCase& c, bool pipelined) {
    server.Reply("220 mail.example").Expect("EHLO " + smtp::LocalHostName())
        .Reply(pipelined ? "250-mail.example\r\n250 PIPELINING" : "250 mail.example");
    const std::string rcpt[] = {"RCPT TO:<p1@example>", "RCPT TO:<p2@example>", "RCPT TO:<p3@example>"};
    bool anyAccepted = false;
    if (pipelined) {
        server.Expect("RSET").Expect("MAIL FROM: <s@example>");
        for (const std::string& line : rcpt) server.Expect(line);
        server.Expect("DATA");
        std::string replies = "250 ok\r\n250 ok\r\n";
        for (int code : c.Codes) {
            replies += ReplyTo(code) + "\r\n";
            anyAccepted = anyAccepted || code < 300;
        }
        server.Send(replies + (anyAccepted ? "354 go\r\n" : "554 no valid recipients\r\n"));
        if (anyAccepted) {
            server.ExpectData().Reply("250 queued").Expect("QUIT").Reply("221 bye");
        } else {
            server.Expect("RSET").Reply("250 ok").Expect("QUIT").Reply("221 bye");
        }
        return;
    }
    server.Expect("RSET").Reply("250 ok").Expect("MAIL FROM: <s@example>").Reply("250 ok");
    for (int i = 0; i < 3; ++i) {
        server.Expect(rcpt[i]).Reply(ReplyTo(c.Codes[i]));
        if (c.Codes[i] >= 300) {
            server.Expect("RSET").Reply("250 ok").Expect("QUIT").Reply("221 bye");
            return;
        }
    }
    server.Expect("DATA").Reply("354 go").ExpectData().Reply("250 queued").Expect("QUIT").Reply("221 bye");
}

class EntryOutcomesTest : public CycleTest {
protected:
    EntryOutcomesTest()
        : sink_([this](Severity severity, const std::string&, const std::string& text) {
              if (severity == Severity::Warning) warnings.push_back(text);
          }) {}

    std::vector<std::string> warnings;

private:
    ScopedEventSink sink_;
};

TEST_F(EntryOutcomesTest, EachAddressOfAnEntryMeetsItsOwnFateWhenTheMessageWentOut) {
    const EntryCase pipelinedCases[] = {
        {"all accepted", {250, 250, 250}, true, "", {}},
        {"one refused for now", {250, 250, 452}, true, "p3@example",
         {"Queued mail 1 to \"p3@example\" refused for now, to be retried: RCPT TO:<p3@example> answered 452 no"}},
        {"one refused for good", {250, 550, 250}, true, "",
         {"Queued mail 1 to \"p2@example\" not delivered: RCPT TO:<p2@example> answered 550 no"}},
        {"all refused", {550, 451, 550}, false, "p2@example",
         {"Queued mail 1 to \"p1@example\" not delivered", "Queued mail 1 to \"p2@example\" refused for now",
          "Queued mail 1 to \"p3@example\" not delivered"}},
    };
    // Without PIPELINING the first refusal ends the transaction before DATA: nobody got the
    // message, so the entry as a whole keeps the refusal's outcome.
    const EntryCase plainCases[] = {
        {"all accepted", {250, 250, 250}, true, "", {}},
        {"one refused for now", {250, 250, 452}, false, kEntry,
         {"Queued mail 1 to \"p1@example, p2@example, p3@example\" refused for now, to be retried: "
          "RCPT TO:<p3@example> answered 452 no"}},
        {"one refused for good", {250, 550, 250}, false, "",
         {"Queued mail 1 to \"p1@example, p2@example, p3@example\" not delivered: RCPT TO:<p2@example> "
          "answered 550 no"}},
        {"all refused", {550, 451, 550}, false, "",
         {"Queued mail 1 to \"p1@example, p2@example, p3@example\" not delivered: RCPT TO:<p1@example> "
          "answered 550 no"}},
    };
    for (bool pipelined : {true, false}) {
        for (const EntryCase& c : pipelined ? pipelinedCases : plainCases) {
            SCOPED_TRACE(std::string(pipelined ? "pipelined, " : "not pipelined, ") + c.Name);
            sql().Exec("DELETE FROM mail_spooler");
            warnings.clear();
            sql().Exec(std::string("INSERT INTO mail_spooler VALUES (1, 's@example', '") + kEntry +
                       "', 'Subject', 'Body', NULL)");
            ScriptedSmtpServer server;
            Script(server, c, pipelined);
            server.Start();
            SmtpSettings smtp;
            smtp.Host = "127.0.0.1";
            smtp.Port = server.Port();
            mail::SmtpMailSender sender;
            RetrySchedule retry;
            db.Connect();

            DrainResult result = DrainSpool(db, sender, smtp, AttachmentRoot(), retry);
            server.Join();

            EXPECT_EQ(result.Outcome, DrainOutcome::Drained);
            EXPECT_TRUE(server.Mismatches().empty()) << server.Mismatches().front();
            EXPECT_EQ(!server.Data().empty(), c.TextSent);
            EXPECT_EQ(sql().Scalar("SELECT Destinatario FROM mail_spooler WHERE ID = 1").value_or(""), c.Remaining);
            ASSERT_EQ(warnings.size(), c.Warnings.size());
            for (std::size_t i = 0; i < warnings.size(); ++i) {
                EXPECT_NE(warnings[i].find(c.Warnings[i]), std::string::npos) << warnings[i];
            }
        }
    }
}

}  // namespace
}  // namespace tessel::cycle::test
