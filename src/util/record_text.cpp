#include "util/record_text.h"

#include "util/ascii.h"

namespace tessel {

std::string RecordText(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            safe += "\\x";
            AppendHexByte(safe, byte);
        } else {
            safe += c;
        }
    }
    return safe;
}

}  // namespace tessel
