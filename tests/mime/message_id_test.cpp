#include "mime/message_id.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdio>

#include <regex>
#include <set>

namespace tessel::mime {
namespace {

const std::string kKey = MessageIdKey("tessel", "db-password");

TEST(MessageIdTest, SameIdentitySameIdAnyDifferenceAnotherId) {
    const MessageIdentity base{17, "a@example.org\n", "Me <me@example.com>", "Subject", "Body\r\n"};
    const std::string id = MakeMessageId(base, "mail.example.com", kKey);
    EXPECT_TRUE(std::regex_match(id, std::regex(R"(<17\.[0-9a-f]{32}@mail\.example\.com>)"))) << id;
    EXPECT_EQ(MakeMessageId(base, "mail.example.com", kKey), id);

    std::set<std::string> ids{id};
    auto with = [&](auto change) {
        MessageIdentity other = base;
        change(other);
        return MakeMessageId(other, "mail.example.com", kKey);
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
    EXPECT_NE(MakeMessageId(base, "other.example.com", kKey), id);
}

TEST(MessageIdTest, TheIdOfAMessageDoesNotChangeFromOneVersionToTheNext) {
    // A message retried after an upgrade must keep its ID, or receivers cannot drop the duplicate.
    const MessageIdentity identity{17, "a@example.org\n", "Me <me@example.com>", "Subject", "Body\r\n"};
    EXPECT_EQ(MakeMessageId(identity, "mail.example.com", kKey), "<17.8423f34df4d4038fdd31a87ae189a230@mail.example.com>");
}

TEST(MessageIdTest, HostsWithTheSameLoginAgreeAndAnotherKeyGivesAnotherId) {
    const MessageIdentity identity{17, "a@example.org\n", "Me <me@example.com>", "Subject", "Body\r\n"};
    // Each host derives the key from its own configs.ini: the same login, the same IDs.
    const std::string active = MakeMessageId(identity, "mail.example.com", MessageIdKey("tessel", "db-password"));
    const std::string standby = MakeMessageId(identity, "mail.example.com", MessageIdKey("tessel", "db-password"));
    EXPECT_EQ(active, standby);
    std::set<std::string> ids{active};
    for (const auto& [user, password] : {std::pair{"tessel", "db-passwore"}, std::pair{"tessem", "db-password"},
                                         std::pair{"tesseldb-", "password"}, std::pair{"", ""}}) {
        ids.insert(MakeMessageId(identity, "mail.example.com", MessageIdKey(user, password)));
    }
    EXPECT_EQ(ids.size(), 5u);
}

TEST(MessageIdTest, AnIdDoesNotLetAReaderTestGuessesOfTheBody) {
    // An SMS gateway's 4-digit password in the body, everything else known to whoever logs the IDs:
    // the unkeyed digest of the same fields finds it among the 10,000 guesses; the keyed one does not.
    auto body = [](int pin) {
        char text[64];
        std::snprintf(text, sizeof text, "user=gw&password=%04d&text=hello", pin);
        return std::string(text);
    };
    const std::string secretBody = body(4721);
    const MessageIdentity identity{5, "sms@gateway.example\n", "svc@example.com", "SMS", secretBody};
    const std::string id = MakeMessageId(identity, "mail.example.com", kKey);
    const std::string digest = id.substr(id.find('.') + 1, 32);

    auto unkeyedDigest = [](const MessageIdentity& guess) {
        std::string fields;
        const std::string row = std::to_string(guess.RowId);
        for (std::string_view field : {std::string_view(row), guess.Recipient, guess.Sender, guess.Subject, guess.Body}) {
            fields += std::to_string(field.size()) + ":" + std::string(field);
        }
        unsigned char out[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char*>(fields.data()), fields.size(), out);
        std::string hex;
        for (int i = 0; i < 16; ++i) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", out[i]);
            hex += pair;
        }
        return hex;
    };
    // The attacker's model is right: it gives the ID the unkeyed build gave.
    ASSERT_EQ(unkeyedDigest({17, "a@example.org\n", "Me <me@example.com>", "Subject", "Body\r\n"}),
              "a021b9df43fa2f8f27821b1cf78fdcce");
    int found = -1;
    for (int pin = 0; pin < 10000 && found < 0; ++pin) {
        const std::string guessBody = body(pin);
        MessageIdentity guess = identity;
        guess.Body = guessBody;
        if (unkeyedDigest(guess) == digest) found = pin;
    }
    EXPECT_EQ(found, -1) << "the password was read back from the Message-ID";
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
