#include "mime/message_id.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace tessel::mime {
namespace {

TEST(MessageIdTest, SameIdentitySameIdAnyDifferenceAnotherId) {
    const MessageIdentity base{17, "a@example.org\n", "Me <me@example.com>", "Subject", "Body\r\n"};
    const std::string id = MakeMessageId(base, "mail.example.com");
    EXPECT_TRUE(std::regex_match(id, std::regex(R"(<17\.[0-9a-f]{32}@mail\.example\.com>)"))) << id;
    EXPECT_EQ(MakeMessageId(base, "mail.example.com"), id);

    std::set<std::string> ids{id};
    auto with = [&](auto change) {
        MessageIdentity other = base;
        change(other);
        return MakeMessageId(other, "mail.example.com");
    };
    ids.insert(with([](MessageIdentity& m) { m.RowId = 18; }));
    ids.insert(with([](MessageIdentity& m) { m.Recipient = "b@example.org\n"; }));
    ids.insert(with([](MessageIdentity& m) { m.Sender = "Other <me@example.com>"; }));
    ids.insert(with([](MessageIdentity& m) { m.Subject = "Subject 2"; }));
    ids.insert(with([](MessageIdentity& m) { m.Body = "Body\r\n\r\n"; }));
    // Fields are kept apart: moving a byte from one to the next is another message.
    ids.insert(with([](MessageIdentity& m) {
        m.Subject = "SubjectB";
        m.Body = "ody\r\n";
    }));
    EXPECT_EQ(ids.size(), 7u);
    EXPECT_NE(MakeMessageId(base, "other.example.com"), id);
}

TEST(MessageIdTest, TheIdOfAMessageDoesNotChangeFromOneVersionToTheNext) {
    // A message retried after an upgrade must keep its ID, or receivers cannot drop the duplicate.
    const MessageIdentity identity{17, "a@example.org\n", "Me <me@example.com>", "Subject", "Body\r\n"};
    EXPECT_EQ(MakeMessageId(identity, "mail.example.com"),
              "<17.a021b9df43fa2f8f27821b1cf78fdcce@mail.example.com>");
}

TEST(MessageIdTest, DomainIsMadeSafeForTheRightSide) {
    const struct {
        const char* domain;
        const char* safe;
    } cases[] = {{"mail.example.com", "mail.example.com"}, {"", "localhost"}, {"vm", "vm"},
                 {"a b<c>@d\"e", "a-b-c--d-e"}, {"host:25", "host-25"}, {"[192.0.2.1]", "[192.0.2.1]"},
                 {"[IPv6:2001:db8::1]", "[IPv6:2001:db8::1]"}, {"caf\xE9", "caf-"}};
    for (const auto& c : cases) EXPECT_EQ(MessageIdDomain(c.domain), c.safe) << c.domain;
}

}  // namespace
}  // namespace tessel::mime
