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

// MakeMessageId - "<rowid.digest@domain>", the digest being 32 hexadecimal digits of the SHA-256
// of the identity; a function of its arguments alone (no clock, no counter). Throws tessel::Error
// only when the digest cannot be computed.
std::string MakeMessageId(const MessageIdentity& identity, std::string_view domain);

}  // namespace tessel::mime
