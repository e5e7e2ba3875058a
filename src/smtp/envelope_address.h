// Which envelope addresses may be named in MAIL FROM and RCPT TO.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel::smtp {

// EnvelopeAddressFault - "" when address may go into MAIL FROM / RCPT TO as it is; otherwise why
// not. A CR or LF would end the command and send the rest as a command of its own; any other byte
// below 0x21, 0x7F, "<" or ">" would end the address inside the command and let the rest pass as
// parameters of the server's extensions (a TAB and "NOTIFY=SUCCESS"). Never throws.
std::string EnvelopeAddressFault(std::string_view address);

// EnvelopeFault - the fault of the sender, else of the first faulty recipient; "" when none.
std::string EnvelopeFault(std::string_view sender, const std::vector<std::string>& recipients);

}  // namespace tessel::smtp
