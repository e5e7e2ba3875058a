#include "config/ini_reader.h"

#include <gtest/gtest.h>

#include "config/startup_config.h"
#include "support/temp_dir.h"

namespace tessel::config {
namespace {

TEST(IniReader, ReadingRules) {
    const std::string ini =
        "; comment\r\n"
        "[other]\r\n"
        "Server = wrong\r\n"
        "[ dbconfig ]\r\n"
        "  server  =  db.example  \r\n"
        "Database=\"quoted value\"\r\n"
        "Username='single'\r\n"
        "Password=\"mismatched'\r\n"
        "Empty=\r\n"
        "Inner = a \"b\" c\n";
    struct {
        const char* key;
        const char* expected;
    } cases[] = {
        {"Server", "db.example"}, {"SERVER", "db.example"}, {"Database", "quoted value"},
        {"Username", "single"},   {"Password", "\"mismatched'"}, {"Empty", ""},
        {"Inner", "a \"b\" c"},   {"Missing", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReadIniValueFromText(ini, "DBCONFIG", c.key), c.expected) << c.key;
    }
    EXPECT_EQ(ReadIniValueFromText(ini, "NOSECTION", "Server"), "");
}

TEST(IniReader, LongValueIsCut) {
    std::string value(3000, '7');
    std::string text = "[DBCONFIG]\nPort=" + value + "\n";
    EXPECT_EQ(ReadIniValueFromText(text, "DBCONFIG", "Port"), value.substr(0, kMaxIniValue));
}

TEST(IniReader, MissingOrUnreadableFileGivesEmpty) {
    test::TempDir dir;
    EXPECT_EQ(ReadIniValue(dir.File("absent.ini"), "DBCONFIG", "Server"), "");
    // A directory in place of the file reads like a missing file.
    EXPECT_EQ(ReadIniValue(dir.Path(), "DBCONFIG", "Server"), "");
}

TEST(PortValue, Conversions) {
    struct {
        const char* text;
        std::int32_t port;
    } cases[] = {
        {"3306", 3306}, {"0x0CEA", 3306}, {"0X0cea", 3306}, {"$0CEA", 3306}, {"x0CEA", 3306},
        {"0CEA", 0},    {"-1", -1},       {"2147483648", 0}, {"0x", 0},       {"", 0},
        {"abc", 0},     {"33.06", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ParsePortValue(c.text), c.port) << c.text;
    // The reader drops blanks around a value; blanks inside it spoil the number.
    EXPECT_EQ(ParsePortValue(ReadIniValueFromText("[DBCONFIG]\nPort=3306 \n", "DBCONFIG", "Port")), 3306);
    EXPECT_EQ(ParsePortValue(ReadIniValueFromText("[DBCONFIG]\nPort=33 06\n", "DBCONFIG", "Port")), 0);
    EXPECT_EQ(ParsePortValue(std::string(3000, '1')), 0);
}

}  // namespace
}  // namespace tessel::config
