// What a fault in the middle of a row costs, now that a row's progress is written after each of its
// recipient entries and no database transaction waits on the mail server: the service killed after
// the k-th of 20 recipients, its database session ended between two recipients, and a schema change
// and the document system's INSERTs while a message is slow to be taken.
#include <signal.h>

#include <future>
#include <map>
#include <string>

#include "e2e_fixture.h"
#include "held_sink.h"
#include "metrics_reader.h"
#include "service_process.h"
#include "support/smtp_sink.h"
#include "waits.h"

namespace tessel::e2e {
namespace {

using namespace std::chrono_literals;
using test::SmtpSink;

// Recipient - the i-th recipient: short, as 20 of them fit the 255 bytes of a row's recipients.
std::string Recipient(int i) {
    return "r" + std::to_string(i) + "@e.test";
}

// Entries - the recipients first to last, as a row holds them.
std::string Entries(int first, int last) {
    std::string entries;
    for (int i = first; i <= last; ++i) entries += (entries.empty() ? "" : ";") + Recipient(i);
    return entries;
}

class RowProgressTest : public EndToEndTest {
protected:
    // WaitForNoOtherSession - until the server has ended every session of the test database but
    // the test's own (a killed process's session, and with it its work lock, goes when the server
    // notices the connection has gone).
    bool WaitForNoOtherSession() {
        return WaitUntil([&] {
            return sql().Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                                "WHERE DB = DATABASE() AND ID <> CONNECTION_ID()") == "0";
        }, kWaitLimit);
    }
    // ServiceSessionsInATransaction - the test database's other sessions with an open InnoDB
    // transaction (row locks, or a snapshot an idle-transaction limit would end).
    int ServiceSessionsInATransaction() {
        return std::stoi(sql().Scalar("SELECT COUNT(*) FROM information_schema.INNODB_TRX t "
                                      "JOIN information_schema.PROCESSLIST p ON p.ID = t.trx_mysql_thread_id "
                                      "WHERE p.DB = DATABASE() AND p.ID <> CONNECTION_ID()").value());
    }
    std::optional<std::string> Recipients(int row) {
        return sql().Scalar("SELECT Destinatario FROM mail_spooler WHERE ID = " + std::to_string(row));
    }
};

// SIGKILL while the k-th of 20 recipients is with the mail server: the row already holds only the
// entries from the k-th on, and the next run sends those. Only the message in flight goes twice.
TEST_F(RowProgressTest, KilledAfterTheKthOfTwentyRecipientsResendsAtMostTheMessageInFlight) {
    // Each killed run keeps the lease until it runs out.
    Set("service.lease.seconds", "1");
    ServiceInstall install(dir, tdb.Parameters());
    for (int k : {1, 7, 20}) {
        SCOPED_TRACE("killed during recipient " + std::to_string(k));
        sql().Exec("DELETE FROM mail_spooler");
        int row = Queue(Entries(1, 20));
        std::map<std::string, int> counts;
        {
            HeldSink held(k);
            MailServer(held.Port());
            RunningService once(install, dir, {"--once"});
            bool inHand = held.WaitInHand();
            once.Signal(SIGKILL);
            once.Wait();
            ASSERT_TRUE(inHand);
            EXPECT_EQ(Recipients(row), Entries(k, 20)) << "what was confirmed is no longer queued";
            // The mail server took the message in flight; its reply came too late.
            held.Release();
            EXPECT_TRUE(held.WaitForCount(k));
            counts = held.RecipientCounts();
        }
        ASSERT_TRUE(WaitForNoOtherSession());
        ASSERT_TRUE(WaitUntil([&] { return LeaseRunOut(); }, kWaitLimit));

        SmtpSink sink;
        MailServer(sink.Port());
        ProcessResult run = install.RunOnce();

        EXPECT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(QueuedCount(), 0);
        for (const auto& [recipient, count] : sink.RecipientCounts()) counts[recipient] += count;
        std::map<std::string, int> expected;
        for (int i = 1; i <= 20; ++i) expected[Recipient(i)] = i == k ? 2 : 1;
        EXPECT_EQ(counts, expected);
    }
}

// The database ends the service's session while the second of four recipients is with the mail
// server (wait_timeout, a restart, an operator's KILL): the session is opened again before the
// row's progress is written, and everyone gets the message once.
TEST_F(RowProgressTest, ASessionEndedBetweenRecipientsIsOpenedAgainAndNobodyGetsTwo) {
    int row = Queue(Entries(1, 4));
    HeldSink held(2);
    MailServer(held.Port());
    ServiceInstall install(dir, tdb.Parameters());
    RunningService once(install, dir, {"--once"});
    ASSERT_TRUE(held.WaitInHand());
    for (const auto& id : sql().Query("SELECT ID FROM information_schema.PROCESSLIST "
                                      "WHERE DB = DATABASE() AND ID <> CONNECTION_ID()")) {
        sql().Exec("KILL CONNECTION " + id.at(0).value());
    }
    EXPECT_EQ(Recipients(row), Entries(2, 4));
    held.Release();
    ProcessResult run = once.Wait();

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "The database session was lost and is re-established")) << run.Err;
    EXPECT_EQ(QueuedCount(), 0);
    std::map<std::string, int> expected;
    for (int i = 1; i <= 4; ++i) expected[Recipient(i)] = 1;
    EXPECT_EQ(held.RecipientCounts(), expected);
}

// While a message waits on a slow mail server the service holds no transaction: an idle-transaction
// limit has nothing to end, an upgrade's ALTER TABLE goes through at once, and the document system's
// INSERTs do not queue behind it.
TEST_F(RowProgressTest, ASlowMessageHoldsNoTransactionSoSchemaChangesAndInsertsGoOn) {
    int row = Queue(Entries(1, 3));
    HeldSink held(2);
    MailServer(held.Port());
    ServiceInstall install(dir, tdb.Parameters());
    RunningService once(install, dir, {"--once"});
    ASSERT_TRUE(held.WaitInHand());

    EXPECT_EQ(ServiceSessionsInATransaction(), 0);
    const auto& server = test::TestServer();
    auto alter = std::async(std::launch::async, [&] {
        test::SqlSession upgrade(server, server.User, server.Password, tdb.Name());
        upgrade.Exec("ALTER TABLE mail_spooler ADD COLUMN Nota VARCHAR(20) NULL");
        test::SqlSession documents(server, server.User, server.Password, tdb.Name());
        documents.Exec("INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto) "
                       "VALUES ('a@example.test', 'late@example.test', 'Late', 'Body')");
    });
    bool done = alter.wait_for(kWaitLimit) == std::future_status::ready;
    EXPECT_TRUE(done) << "the ALTER TABLE or the INSERT waited for the message";
    EXPECT_EQ(Recipients(row), Entries(2, 3));
    held.Release();
    ProcessResult run = once.Wait();
    if (done) alter.get();

    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_FALSE(Recipients(row).has_value());
    auto counts = held.RecipientCounts();
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(counts[Recipient(i)], 1);
    // The row queued meanwhile is either sent by this run or still queued, never both.
    EXPECT_EQ(counts["late@example.test"] + QueuedCount(), 1);
}

}  // namespace
}  // namespace tessel::e2e
