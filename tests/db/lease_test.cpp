// The lease row: taken only when free, renewed only by its holder, and a takeover fences the
// holder's open transaction out.
#include "db/lease.h"

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/database.h"
#include "db/database_error.h"
#include "db/transaction.h"
#include "support/test_database.h"

namespace tessel::db {
namespace {

using namespace std::chrono_literals;

TEST(LeaseValueTest, OnlyAValueOfTheFourFieldsNamesAHolder) {
    struct Case {
        const char* value;
        bool parses;
    } cases[] = {
        {"host-a;1234;7;2026-12-11 02:00:00", true},
        {"host-a;1234;7;2026-12-11 02:00:00.123456", true},
        {";1;1;2026-12-11 02:00:00", true},  // an empty host is still a holder
        {"", false},
        {"host-a;1234;7", false},
        {"host-a;12a4;7;2026-12-11 02:00:00", false},
        {"host-a;1234;-7;2026-12-11 02:00:00", false},
        {"host-a;1234;7;2026-12-11", false},
        {"host-a;1234;7;2026-12-11 02:00:00.", false},
        {"host-a;1234;7;2026-12-11 02:00:00;x", false},
        {"host-a;1234;1234567890123456789;2026-12-11 02:00:00", false},  // beyond the epochs counted
    };
    for (const Case& c : cases) EXPECT_EQ(ParseLeaseValue(c.value).has_value(), c.parses) << c.value;
    std::optional<LeaseHolder> holder = ParseLeaseValue("host-a;1234;7;2026-12-11 02:00:00");
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->Host, "host-a");
    EXPECT_EQ(holder->ProcessId, "1234");
    EXPECT_EQ(holder->Epoch, 7u);
    EXPECT_EQ(holder->Expiry, "2026-12-11 02:00:00");
}

TEST(LeaseValueTest, AHostNameCannotBreakTheValue) {
    EXPECT_EQ(LeaseHost("mail;host\x01 x\xe9"), "mail_host__x_");
    EXPECT_EQ(LeaseHost(std::string(300, 'h')).size(), 128u);
}

class LeaseTest : public ::testing::Test {
protected:
    LeaseTest() {
        a.SetParameters(tdb.Parameters());
        b.SetParameters(tdb.Parameters());
        a.Connect();
        b.Connect();
    }
    test::SqlSession& sql() { return tdb.Sql(); }
    void SetValue(const std::string& value) {
        sql().Exec("DELETE FROM configs WHERE Propriedade = 'service.active'");
        sql().Exec("INSERT INTO configs VALUES ('service.active', " + sql().Quote(value) + ")");
    }
    std::string Value() {
        return sql().Scalar("SELECT Valor FROM configs WHERE Propriedade = 'service.active'").value_or("(null)");
    }
    // Holder - the one lease row, as the server reads it.
    LeaseHolder Holder(Connection& cn) {
        LeaseRows rows = ReadLeaseRows(cn);
        EXPECT_EQ(rows.Holders.size(), 1u);
        EXPECT_TRUE(!rows.Holders.empty() && rows.Holders[0]) << Value();
        return rows.Holders.empty() || !rows.Holders[0] ? LeaseHolder{} : *rows.Holders[0];
    }

    // ExpectTakeWaits - host-b's take of the lease waits for a lock held by forWhat (and gives up
    // after a second).
    void ExpectTakeWaits(const std::string& forWhat) {
        b.Execute("SET SESSION innodb_lock_wait_timeout = 1");
        try {
            TakeLease(b, "host-b", "22", 60s);
            ADD_FAILURE() << "the take did not wait for " << forWhat;
        } catch (const DatabaseError& e) {
            EXPECT_TRUE(IsLockConflict(e.Number())) << e.what();
        }
    }

    test::TestDatabase tdb;
    Connection a, b;
};

TEST_F(LeaseTest, TheRowIsInsertedOnceAndTakenByOneInstance) {
    EnsureLeaseRow(a);
    EnsureLeaseRow(b);
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM configs WHERE Propriedade = 'service.active'"), "1");
    EXPECT_EQ(Value(), "");

    EXPECT_EQ(TakeLease(a, "host-a", "11", 60s), 1u);
    EXPECT_EQ(TakeLease(b, "host-b", "22", 60s), 0u) << "a valid lease is not taken";
    LeaseHolder held = Holder(a);
    EXPECT_EQ(held.Host, "host-a");
    EXPECT_EQ(held.ProcessId, "11");
    EXPECT_EQ(held.Epoch, 1u);
    EXPECT_TRUE(IsValid(held, ReadLeaseRows(b).Now));
    // The server's clock sets the expiry: about a minute after its own now.
    EXPECT_EQ(sql().Scalar("SELECT TIMESTAMPDIFF(SECOND, UTC_TIMESTAMP(), " + sql().Quote(held.Expiry) + ") BETWEEN 55 AND 60"),
              "1");

    EXPECT_EQ(RenewLease(a, held, 60s), 1u);
    EXPECT_EQ(RenewLease(b, LeaseHolder{"host-b", "22", 1, ""}, 60s), 0u) << "only the holder renews";
    EXPECT_EQ(Holder(a).Epoch, 1u) << "a renewal keeps the epoch";
}

TEST_F(LeaseTest, AFreeValueIsTakenWithTheNextEpochAndAValidOneIsNot) {
    struct Case {
        std::string value;
        std::uint64_t matched;
        std::uint64_t epoch;  // after the take
    } cases[] = {
        {"", 1, 1},
        {"not a lease", 1, 1},
        {"host-a;11;4;2000-01-01 00:00:00", 1, 5},          // expired
        {"host-a;11;4;2000-01-01 00:00:00.5", 1, 5},        // expired, with a fraction
        {"host-a;11;4;9999-12-31 23:59:59", 0, 4},          // valid
        {"host-a;11;999999999999999999;2000-01-01 00:00:00", 1, 1},  // counted on from 1, never past the form
    };
    for (const Case& c : cases) {
        SetValue(c.value);
        EXPECT_EQ(TakeLease(b, "host-b", "22", 60s), c.matched) << c.value;
        EXPECT_EQ(Holder(b).Epoch, c.epoch) << c.value;
        EXPECT_EQ(Holder(b).Host, c.matched == 1 ? "host-b" : "host-a") << c.value;
    }
    sql().Exec("UPDATE configs SET Valor = NULL WHERE Propriedade = 'service.active'");
    EXPECT_EQ(TakeLease(b, "host-b", "22", 60s), 1u) << "NULL is free";
}

TEST_F(LeaseTest, ATakeoverFencesTheOldHoldersTransactionOut) {
    SetValue("");
    ASSERT_EQ(TakeLease(a, "host-a", "11", 60s), 1u);
    LeaseHolder old = Holder(a);
    sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario) VALUES ('s@example', 'r@example')");

    // The lease expires and another instance takes it.
    sql().Exec("UPDATE configs SET Valor = 'host-a;11;1;2000-01-01 00:00:00' WHERE Propriedade = 'service.active'");
    ASSERT_EQ(TakeLease(b, "host-b", "22", 60s), 1u);

    {
        Transaction transaction(a);
        a.Execute("DELETE FROM mail_spooler");
        EXPECT_EQ(RenewLease(a, old, 60s), 0u) << "the old epoch confirms nothing";
    }  // rolled back
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM mail_spooler"), "1");
    EXPECT_EQ(Holder(a).Host, "host-b");
    EXPECT_EQ(Holder(a).Epoch, 2u);

    // A release lets the next instance in at once, with the next epoch.
    ReleaseLease(b, Holder(b));
    EXPECT_FALSE(IsValid(Holder(a), ReadLeaseRows(a).Now));
    EXPECT_EQ(TakeLease(a, "host-a", "11", 60s), 1u);
    EXPECT_EQ(Holder(a).Epoch, 3u);
}

TEST_F(LeaseTest, WhileTheHolderConfirmsItInATransactionATakeoverWaitsAndFindsItRenewed) {
    SetValue("host-a;11;1;2000-01-01 00:00:00");  // expired, but nobody took it yet
    LeaseHolder old = Holder(a);
    Transaction transaction(a);
    EXPECT_EQ(RenewLease(a, old, 60s), 1u) << "an expired lease nobody took is still the holder's";
    ExpectTakeWaits("the holder's transaction");
    transaction.Commit();
    EXPECT_EQ(TakeLease(b, "host-b", "22", 60s), 0u) << "renewed by the committed transaction";
}

// The drain's one-statement change of a row: it takes effect while the lease names its holder (an
// expired lease that nobody took still does, as for a renewal), and never under another holder or
// epoch, nor under a free lease.
TEST_F(LeaseTest, AQueueChangeUnderTheLeaseTakesEffectOnlyWhileTheLeaseNamesItsHolder) {
    Database db;
    db.SetParameters(tdb.Parameters());
    db.Connect();
    const std::string holder = LeaseHolderPrefix(LeaseHolder{"host-a", "11", 4, ""});
    struct Case {
        std::string value;
        bool changes;
    } cases[] = {
        {"host-a;11;4;9999-12-31 23:59:59", true},
        {"host-a;11;4;2000-01-01 00:00:00", true},   // expired, not taken
        {"host-b;22;5;9999-12-31 23:59:59", false},  // taken by another instance
        {"host-a;11;5;9999-12-31 23:59:59", false},  // taken again by this process: a later epoch
        {"host-a;11;44;9999-12-31 23:59:59", false}, // an epoch that merely starts alike
        {"", false},                                 // free
    };
    for (const Case& c : cases) {
        SetValue(c.value);
        sql().Exec("DELETE FROM mail_spooler");
        sql().Exec("INSERT INTO mail_spooler (ID, Remetente, Destinatario) VALUES (1, 's@example', 'r@example'), "
                   "(2, 's@example', 'p@example;q@example')");

        Statement& remove = db.DeleteMailUnderLease();
        remove.SetInteger("id", 1);
        remove.SetString("holder", holder);
        EXPECT_EQ(remove.Execute(), c.changes ? 1u : 0u) << c.value;

        Statement& rewrite = db.UpdateMailRecipientsUnderLease();
        rewrite.SetString("destinatario", "q@example");
        rewrite.SetInteger("id", 2);
        rewrite.SetString("holder", holder);
        rewrite.Execute();
        EXPECT_EQ(db.Cn().MatchedRows(), c.changes ? 1u : 0u) << c.value;

        EXPECT_EQ(sql().Scalar("SELECT GROUP_CONCAT(Destinatario ORDER BY ID SEPARATOR ' | ') FROM mail_spooler"),
                  c.changes ? "q@example" : "r@example | p@example;q@example")
            << c.value;
        EXPECT_EQ(Value(), c.value) << "the change leaves the lease as it was";
    }
}

// The change reads the lease row with a lock: a takeover on the same server cannot slip in between
// that read and the write, and once it is in, the old holder's changes match nothing.
TEST_F(LeaseTest, ATakeoverWaitsForAQueueChangeUnderTheLeaseAndThenFencesItOut) {
    Database db;
    db.SetParameters(tdb.Parameters());
    db.Connect();
    SetValue("host-a;11;1;2000-01-01 00:00:00");  // expired, but nobody took it yet
    const std::string holder = LeaseHolderPrefix(Holder(a));
    sql().Exec("INSERT INTO mail_spooler (ID, Remetente, Destinatario) VALUES (1, 's@example', 'r@example'), "
               "(2, 's@example', 'r@example')");
    Statement& remove = db.DeleteMailUnderLease();
    {
        Transaction open(db.Cn());  // holds what the statement locked, as it holds while it runs
        remove.SetInteger("id", 1);
        remove.SetString("holder", holder);
        ASSERT_EQ(remove.Execute(), 1u);
        ExpectTakeWaits("the change under the lease");
        open.Commit();
    }
    ASSERT_EQ(TakeLease(b, "host-b", "22", 60s), 1u);
    remove.SetInteger("id", 2);
    remove.SetString("holder", holder);
    EXPECT_EQ(remove.Execute(), 0u) << "the old holder changed the queue after the takeover";
    EXPECT_EQ(sql().Scalar("SELECT GROUP_CONCAT(ID) FROM mail_spooler"), "2");
}

// A holder frozen between confirming the lease and its commit keeps the row locked: the server ends
// that idle transaction's session, and the takeover comes seconds later instead of at wait_timeout.
TEST_F(LeaseTest, AHolderFrozenInsideItsConfirmingTransactionIsCutOffAndTakenOver) {
    SetValue("host-a;11;1;2000-01-01 00:00:00");
    LeaseHolder old = Holder(a);
    Transaction frozen(a);
    ASSERT_EQ(RenewLease(a, old, 60s), 1u);
    b.Execute("SET SESSION innodb_lock_wait_timeout = 1");

    std::uint64_t taken = 0;
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (taken == 0 && std::chrono::steady_clock::now() < giveUp) {
        try {
            taken = TakeLease(b, "host-b", "22", 60s);
        } catch (const DatabaseError& e) {
            ASSERT_TRUE(IsLockConflict(e.Number())) << e.what();
        }
    }
    EXPECT_EQ(taken, 1u) << "the frozen holder's lock was never freed";
    EXPECT_EQ(Holder(b).Host, "host-b");
    EXPECT_EQ(Holder(b).Epoch, 2u) << "the frozen renewal was undone";
    try {
        a.Execute("COMMIT");
        ADD_FAILURE() << "the frozen session could still commit";
    } catch (const DatabaseError& e) {
        EXPECT_TRUE(IsConnectionError(e.Number())) << e.what();
    }
}

}  // namespace
}  // namespace tessel::db
