// Text from outside (server replies, row values, addresses) made safe for an event record.
#pragma once

#include <string>
#include <string_view>

namespace tessel {

// RecordText - text with every byte below 0x20 and 0x7F written as \xHH (two capital hex
// digits), so that it can neither end a record's line, forge a line of its own nor drive a
// terminal. Other bytes are copied. Never throws (but std::bad_alloc).
std::string RecordText(std::string_view text);

}  // namespace tessel
