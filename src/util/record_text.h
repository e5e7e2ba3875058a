// Text from outside (server replies, row values, addresses) made safe for an event record.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessel {

// RecordText - text with every byte below 0x20 and 0x7F written as \xHH (two capital hex
// digits), so that it can neither end a record's line, forge a line of its own nor drive a
// terminal. Other bytes are copied. Never throws (but std::bad_alloc).
std::string RecordText(std::string_view text);

// kMaxPeerTextBytes - how much of a peer's text (a server's reply, a token endpoint's answer) a
// record or a journal field carries.
inline constexpr std::size_t kMaxPeerTextBytes = 512;

// PeerText - RecordText of at most the first kMaxPeerTextBytes bytes of text, followed by a note
// of how many were left out. Never throws (but std::bad_alloc).
std::string PeerText(std::string_view text);

}  // namespace tessel
