#include "smtp/envelope_address.h"

#include <cstdio>

namespace tessel::smtp {

std::string EnvelopeAddressFault(std::string_view address) {
    if (address.find_first_of("\r\n") != std::string_view::npos) {
        return "An envelope address holds a line break";
    }
    for (char c : address) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte == 0x7f || c == '<' || c == '>') {
            char text[80];
            std::snprintf(text, sizeof text, "An envelope address holds a byte not allowed there (0x%02X)",
                          static_cast<unsigned int>(byte));
            return text;
        }
    }
    return "";
}

std::string EnvelopeFault(std::string_view sender, const std::vector<std::string>& recipients) {
    std::string fault = EnvelopeAddressFault(sender);
    for (std::size_t i = 0; fault.empty() && i < recipients.size(); ++i) {
        fault = EnvelopeAddressFault(recipients[i]);
    }
    return fault;
}

}  // namespace tessel::smtp
