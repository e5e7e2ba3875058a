// Parsing of sender and recipient texts into display names and addresses.
#pragma once

#include <string_view>
#include <vector>

#include "mime/message.h"
#include "util/error.h"

namespace tessel::mime {

// AddressError - an address text the parser refuses ("@ Outside address").
class AddressError : public Error {
public:
    AddressError();
};

// ParseMailAddress - one address text ("Name <local@domain>", "local@domain (comment)",
// "\"Last, First\" <local@domain>", ...) to one MailAddress. An empty or blank text gives the
// empty address. Throws AddressError when an at sign follows an address already closed in
// angle brackets.
MailAddress ParseMailAddress(std::string_view text);

// ParseAddressList - a recipient text to its addresses, in order. Commas and semicolons
// separate entries except inside double quotes or parentheses; a group name ending in a colon
// is dropped; entries with neither address nor name are left out. Throws AddressError as
// ParseMailAddress does.
std::vector<MailAddress> ParseAddressList(std::string_view text);

}  // namespace tessel::mime
