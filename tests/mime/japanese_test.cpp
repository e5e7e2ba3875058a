#include "mime/japanese.h"

#include <gtest/gtest.h>

namespace tessel::mime {
namespace {

TEST(ShiftJisToIso2022JpTest, ConvertsRunsBetweenEscapes) {
    const struct {
        std::string sjis;
        std::string expected;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        // Kanji "nihon".
        {"\x93\xFA\x96\x7B", "\x1b$B\x46\x7C\x4B\x5C\x1b(B"},
        {"a\x93\xFA" "b\x96\x7B" "c", "a\x1b$B\x46\x7C\x1b(Bb\x1b$B\x4B\x5C\x1b(Bc"},
        // Half-width KA with the voiced mark is one full-width GA.
        {"\xB6\xDE", "\x1b$B\x25\x2C\x1b(B"},
        // Half-width HA with the semi-voiced mark is PA; U with the voiced mark is VU.
        {"\xCA\xDF\xB3\xDE", "\x1b$B\x25\x51\x25\x74\x1b(B"},
        // A mark that cannot merge stays a character of its own.
        {"\xB1\xDE", "\x1b$B\x25\x22\x21\x2B\x1b(B"},
        // Half-width and full-width characters share one run.
        {"\xB1\x93\xFA", "\x1b$B\x25\x22\x46\x7C\x1b(B"},
        // A lead byte without its second byte is copied as it is.
        {"x\x93", "x\x93"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.sjis));
        EXPECT_EQ(ShiftJisToIso2022Jp(c.sjis), c.expected);
    }
}

}  // namespace
}  // namespace tessel::mime
