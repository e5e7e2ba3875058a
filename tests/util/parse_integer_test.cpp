#include "util/parse_integer.h"

#include <gtest/gtest.h>

#include "util/error.h"

namespace tessel {
namespace {

struct IntegerCase {
    const char* text;
    std::optional<std::int32_t> expected;
};

void PrintTo(const IntegerCase& c, std::ostream* os) { *os << "'" << c.text << "'"; }

class ParseIntegerTable : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(ParseIntegerTable, StrictAndLenientAgree) {
    const auto& c = GetParam();
    EXPECT_EQ(TryParseInteger(c.text), c.expected) << "text: '" << c.text << "'";
    EXPECT_EQ(ParseInteger(c.text, -77), c.expected.value_or(-77));
    if (c.expected) {
        EXPECT_EQ(ParseInteger(c.text), *c.expected);
    } else {
        try {
            ParseInteger(c.text);
            FAIL() << "no error for '" << c.text << "'";
        } catch (const ConversionError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("'") + c.text + "' is not a valid integer value");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ParseIntegerTable,
    ::testing::Values(
        IntegerCase{"0", 0}, IntegerCase{"3306", 3306}, IntegerCase{"  587", 587},
        IntegerCase{"+1", 1}, IntegerCase{"-1", -1}, IntegerCase{"01", 1},
        IntegerCase{"2147483647", 2147483647}, IntegerCase{"-2147483648", INT32_MIN},
        IntegerCase{"2147483648", std::nullopt}, IntegerCase{"-2147483649", std::nullopt},
        IntegerCase{"99999999999999999999", std::nullopt},
        IntegerCase{"$24B", 587}, IntegerCase{"x0CEA", 3306}, IntegerCase{"X0cea", 3306},
        IntegerCase{"0x0CEA", 3306}, IntegerCase{"0X0cea", 3306}, IntegerCase{"$FFFFFFFF", -1},
        IntegerCase{"-$1", -1}, IntegerCase{"$7FFFFFFF", 2147483647}, IntegerCase{"$000000001", 1},
        IntegerCase{"$100000000", std::nullopt}, IntegerCase{"$", std::nullopt},
        IntegerCase{"0x", std::nullopt}, IntegerCase{"$G1", std::nullopt},
        IntegerCase{"", std::nullopt}, IntegerCase{" ", std::nullopt}, IntegerCase{"587 ", std::nullopt},
        IntegerCase{"1 ", std::nullopt}, IntegerCase{"33 06", std::nullopt}, IntegerCase{"abc", std::nullopt},
        IntegerCase{"yes", std::nullopt}, IntegerCase{"1.5", std::nullopt}, IntegerCase{"+-1", std::nullopt},
        IntegerCase{"\t1", std::nullopt}, IntegerCase{"0CEA", std::nullopt}, IntegerCase{"- 1", std::nullopt}));

}  // namespace
}  // namespace tessel
