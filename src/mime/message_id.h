// The Message-ID of a queued message: the same for every attempt, different for any other message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessel::mime {

// MessageIdentity - what makes two attempts the same message: the queue row, the recipient it goes
// to, and the row's content (a row ID can come back after the table was emptied and the database
// server restarted, with other content).
struct MessageIdentity {
    std::int64_t RowId = 0;
    std::string_view Recipient;
    std::string_view Sender;
    std::string_view Subject;
    std::string_view Body;
};

// MessageIdDomain - domain made safe for the right side of a Message-ID: each byte that is not
// printable ASCII, or is a blank or one of "()<>@,;:\" and the double quote, becomes "-"; an empty
// domain is "localhost". Never throws.
std::string MessageIdDomain(std::string_view domain);

// MessageIdKey - the key of the Message-ID digest for a database login: the same on every host that
// logs in alike (both hosts of a pair, so a row retried after a takeover keeps its ID), and not to be
// guessed by a reader of the IDs who does not know the password. Throws tessel::Error only when the
// digest cannot be computed.
std::string MessageIdKey(std::string_view userName, std::string_view password);

// MakeMessageId - "<rowid.digest@domain>", the digest being 32 hexadecimal digits of the
// HMAC-SHA-256 of the identity under key (MessageIdKey): without the key, an ID does not let anyone
// test guesses of the body. A function of its arguments alone (no clock, no counter). Throws
// tessel::Error only when the digest cannot be computed.
std::string MakeMessageId(const MessageIdentity& identity, std::string_view domain, std::string_view key);

}  // namespace tessel::mime
