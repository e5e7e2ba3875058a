#include "util/record_text.h"

namespace tessel {

std::string RecordText(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string safe;
    safe.reserve(text.size());
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            safe += "\\x";
            safe += kHex[byte >> 4];
            safe += kHex[byte & 0x0f];
        } else {
            safe += c;
        }
    }
    return safe;
}

}  // namespace tessel
