#include "db/sql_literal.h"

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/database_error.h"
#include "db/statement.h"

namespace tessel::db {
namespace {

using namespace std::string_literals;

TEST(SqlLiteral, QuoteStringEscapesExactlyTheSevenBytes) {
    struct Case {
        std::string value, backslash, doubling;
    } cases[] = {
        {"", "''", "''"},
        {"plain", "'plain'", "'plain'"},
        {"it's", "'it\\'s'", "'it''s'"},
        {"a\"b", "'a\\\"b'", "'a\"b'"},
        {"back\\slash", "'back\\\\slash'", "'back\\slash'"},
        {"nul\0byte"s, "'nul\\0byte'", "'nul\0byte'"s},
        {"cr\rlf\n", "'cr\\rlf\\n'", "'cr\rlf\n'"},
        {"ctrl\x1az", "'ctrl\\Zz'", "'ctrl\x1az'"},
        {"\x01\t\x7f\x80\xe9\xff", "'\x01\t\x7f\x80\xe9\xff'", "'\x01\t\x7f\x80\xe9\xff'"},
        {"' OR 1=1 -- ", "'\\' OR 1=1 -- '", "''' OR 1=1 -- '"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QuoteString(c.value), c.backslash) << c.value;
        EXPECT_EQ(QuoteString(c.value, EscapeMode::QuoteDoubling), c.doubling) << c.value;
    }
}

TEST(SqlLiteral, TextIsNullOnlyWhenEmpty) {
    EXPECT_EQ(QuoteText(""), "NULL");
    EXPECT_EQ(QuoteText(" "), "' '");
    EXPECT_EQ(QuoteText("NULL"), "'NULL'");
}

TEST(SqlLiteral, IntegersAndDates) {
    EXPECT_EQ(IntegerLiteral(0), "0");
    EXPECT_EQ(IntegerLiteral(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(IntegerLiteral(2147483647), "2147483647");
    using namespace std::chrono;
    EXPECT_EQ(DateLiteral(year(2026) / 3 / 7), "'2026-03-07'");
    EXPECT_EQ(DateLiteral(year(999) / 12 / 31), "'0999-12-31'");
}

class RenderTest : public ::testing::Test {
protected:
    Connection cn;  // never connected: rendering needs no server
    Statement insert{cn, "q_Test", StatementKind::Command,
                     {"INSERT INTO t(a, b)", "VALUES(:a, :b) -- :unknown"},
                     {{"a", ParameterKind::String}, {"b", ParameterKind::Text}}};
};

TEST_F(RenderTest, LinesJoinedByCrLfAndEachNameReplacedOnce) {
    insert.SetString("a", ":b");
    insert.SetString("B", "");
    EXPECT_EQ(insert.RenderSql(), "INSERT INTO t(a, b)\r\nVALUES(':b', NULL) -- :unknown");
}

TEST_F(RenderTest, MisuseIsRefusedWithTheStatementName) {
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
