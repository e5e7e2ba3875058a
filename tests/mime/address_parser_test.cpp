#include "mime/address_parser.h"

#include <gtest/gtest.h>

namespace tessel::mime {
namespace {

struct SingleCase {
    const char* text;
    const char* name;
    const char* address;
};

TEST(ParseMailAddressTest, CommonForms) {
    const SingleCase cases[] = {
        {"First Last <local@domain>", "First Last", "local@domain"},
        {"\"Last, First\" <local@domain>", "Last, First", "local@domain"},
        {"<local@domain>", "", "local@domain"},
        {"local@domain", "", "local@domain"},
        {"local@domain (First Last)", "", "local@domain"},
        {"local@domain(First Last)", "", "local@domain"},
        {"local", "", "local"},
        {"First Last", "First ", ""},
        {"First (nick) Last <local@domain>", "First Last", "local@domain"},
        {"\"a\\\"b\" <local@domain>", "a\"b", "local@domain"},
        {"<first.last@sub.domain>", "", "first.last@sub.domain"},
        {"first.last@sub.domain", "", "first.last@sub.domain"},
        {" \t\r\n First Last <local@domain> \r\n", "First Last", "local@domain"},
        // Blanks after a full stop of the domain in angle brackets are dropped.
        {"Name <local@sub. domain>", "Name", "local@sub.domain"},
        {"", "", ""},
        {" \t\r\n", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        MailAddress parsed = ParseMailAddress(c.text);
        EXPECT_EQ(parsed.Name, c.name);
        EXPECT_EQ(parsed.Address, c.address);
    }
}

TEST(ParseMailAddressTest, AtSignAfterAngleAddressFails) {
    for (const char* text : {"<a@b.c> d@e.f", "Name <a@b.c> d@e.f"}) {
        SCOPED_TRACE(text);
        try {
            ParseMailAddress(text);
            ADD_FAILURE() << "no AddressError";
        } catch (const AddressError& e) {
            EXPECT_STREQ(e.what(), "@ Outside address");
        }
    }
}

struct ListCase {
    const char* text;
    std::vector<MailAddress> expected;
};

TEST(ParseAddressListTest, SplitsAtSeparatorsOutsideQuotesAndComments) {
    const ListCase cases[] = {
        {"", {}},
        {" \t ", {}},
        {"a@b.c", {{"", "a@b.c"}}},
        {"  a@b.c", {{"", "a@b.c"}}},
        {"a@b.c, d@e.f", {{"", "a@b.c"}, {"", "d@e.f"}}},
        {"a@b.c;d@e.f", {{"", "a@b.c"}, {"", "d@e.f"}}},
        {"\"Last, First\" <a@b.c>, d@e.f", {{"Last, First", "a@b.c"}, {"", "d@e.f"}}},
        {"a@b.c (Smith, John), d@e.f", {{"", "a@b.c"}, {"", "d@e.f"}}},
        {"First Last <a@b.c>", {{"First Last", "a@b.c"}}},
        {"Friends: a@b.c, Second <d@e.f>;", {{"", "a@b.c"}, {"Second", "d@e.f"}}},
        {"a@b.c,, , ,d@e.f,", {{"", "a@b.c"}, {"", "d@e.f"}}},
        {"\"a\\\"b, c\" <x@y.z>, d@e.f", {{"a\"b, c", "x@y.z"}, {"", "d@e.f"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseAddressList(c.text), c.expected);
    }
}

TEST(ParseAddressListTest, AtSignAfterAngleAddressFails) {
    EXPECT_THROW(ParseAddressList("x@y.z, <a@b.c> d@e.f"), AddressError);
}

}  // namespace
}  // namespace tessel::mime
