#include "util/record_text.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

using namespace std::string_literals;

TEST(RecordText, ControlBytesAndDelBecomeHexEscapes) {
    struct Case {
        std::string text, record;
    } cases[] = {
        {"", ""},
        {"plain text, \"quoted\" \\ and 8-bit \xe9\xff", "plain text, \"quoted\" \\ and 8-bit \xe9\xff"},
        {"a\r\nb", "a\\x0D\\x0Ab"},
        {"\x1b[2J\x07", "\\x1B[2J\\x07"},
        {"nul\0tab\t"s, "nul\\x00tab\\x09"},
        {"\x1f\x20\x7e\x7f\x80", "\\x1F \x7e\\x7F\x80"},
    };
    for (const Case& c : cases) EXPECT_EQ(RecordText(c.text), c.record);
}

}  // namespace
}  // namespace tessel
