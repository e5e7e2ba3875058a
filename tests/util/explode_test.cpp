#include "util/explode.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

using namespace std::string_literals;

TEST(Explode, SplitsOnTheSeparatorWithTheLimit) {
    struct Case {
        std::string separator, input;
        std::int32_t limit;
        DynStringArray expected;
    } cases[] = {
        {";", "a;b;c", 0, {"a", "b", "c"}},
        {";", "a;b;", 0, {"a", "b", ""}},
        {";", "a;;b", 0, {"a", "", "b"}},
        {";", ";a", 0, {"", "a"}},
        {";", ";", 0, {"", ""}},
        {";", "a;;", 0, {"a", "", ""}},
        {";", "abc", 0, {"abc"}},
        {";", "", 0, {}},
        {";", " a ; b", 0, {" a ", " b"}},
        {";", "a;b;c", 2, {"a", "b;c"}},
        {";", "a;b;c", 1, {"a;b;c"}},
        {";", "a;b;c", 3, {"a", "b", "c"}},
        {";", "a;b;c", 7, {"a", "b", "c"}},
        {";", "a;", 2, {"a", ""}},
        {";", "a;b", -1, {}},
        {";", "", -1, {}},
        {"", "a;b", 0, {"a;b"}},
        {"ab", "xabyab", 0, {"x", "y", ""}},
        {"ab", "xaab", 0, {"xa", ""}},
        {"aa", "xaaa", 0, {"x", "a"}},
        {";", "a;b\0c;d"s, 0, {"a", "b"}},
        {"", "a\0b"s, 0, {"a\0b"s}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Explode(c.separator, c.input, c.limit), c.expected)
            << "separator '" << c.separator << "' input '" << c.input << "' limit " << c.limit;
    }
}

}  // namespace
}  // namespace tessel
