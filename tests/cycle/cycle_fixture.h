// A test database, the service's Database object on it, a recording sender and an attachment root.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "cycle/work_cycle.h"
#include "db/database.h"
#include "recording_sender.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace tessel::cycle::test {

// The fixed minute of the tests' clock: 2026-03-07 10:15.
inline LocalDateTime TestNow() {
    using namespace std::chrono;
    return {year(2026) / 3 / 7, 10, 15};
}

class CycleTest : public ::testing::Test {
protected:
    CycleTest() { db.SetParameters(tdb.Parameters()); }

    tessel::test::SqlSession& sql() { return tdb.Sql(); }
    // Set - stores one settings row.
    void Set(const std::string& key, const std::string& value) {
        sql().Exec("INSERT INTO configs VALUES (" + sql().Quote(key) + ", " + sql().Quote(value) + ")");
    }
    // UsualSettings - a complete, valid set of email. settings.
    void UsualSettings() {
        Set("email.servidor", "smtp.example");
        Set("email.porta", "587");
        Set("email.user", "user");
        Set("email.pass", "secret");
        Set("email.remetente", "alarms@example");
        Set("email.ssl", "0");
    }
    std::string AttachmentRoot() const { return dir.Path() + "/attachments/"; }
    WorkCycle Cycle() { return WorkCycle(db, sender, AttachmentRoot(), [] { return TestNow(); }); }

    tessel::test::TestDatabase tdb;
    db::Database db;
    RecordingSender sender;
    tessel::test::TempDir dir;
};

}  // namespace tessel::cycle::test
