#include "db/statement.h"

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/database_error.h"

namespace tessel::db {
namespace {

class PreparedTextTest : public ::testing::Test {
protected:
    Connection cn;  // never connected: the prepared text needs no server
    Statement insert{cn, "q_Test", StatementKind::Command,
                     {"INSERT INTO t(a, b, c)", "VALUES(:a, :b, :A) -- :unknown"},
                     {{"a", ParameterKind::String}, {"b", ParameterKind::Text}}};
};

TEST_F(PreparedTextTest, LinesJoinedByCrLfAndEachDeclaredNameAPlaceholder) {
    EXPECT_EQ(insert.PreparedSql(), "INSERT INTO t(a, b, c)\r\nVALUES(?, ?, ?) -- :unknown");
    // Values never touch the text.
    insert.SetString("a", "x', (SELECT 1)) -- ");
    EXPECT_EQ(insert.PreparedSql(), "INSERT INTO t(a, b, c)\r\nVALUES(?, ?, ?) -- :unknown");
}

TEST_F(PreparedTextTest, MisuseIsRefusedWithTheStatementName) {
    EXPECT_THROW(insert.SetInteger("a", 1), StatementError);
    try {
        insert.SetString("c", "x");
        FAIL();
    } catch (const StatementError& e) {
        EXPECT_STREQ(e.what(), "q_Test: parameter 'c' not found");
    }
    EXPECT_THROW(insert.Execute(), DatabaseError);  // not connected
    EXPECT_THROW(insert.Open(), StatementError);    // a command
}

}  // namespace
}  // namespace tessel::db
