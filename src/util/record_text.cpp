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

std::string PeerText(std::string_view text) {
    if (text.size() <= kMaxPeerTextBytes) return RecordText(text);
    return RecordText(text.substr(0, kMaxPeerTextBytes)) + " [" + std::to_string(text.size() - kMaxPeerTextBytes) +
           " more bytes left out]";
}

}  // namespace tessel
