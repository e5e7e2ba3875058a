// The characters of a text in a charset, as iconv reads them: where an encoded-word may be cut.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel::mime {

// CharacterPiece - the bytes of one character, or of one shift sequence of a stateful code such as
// ISO-2022-JP (Shift: it changes the state and stands for no character).
struct CharacterPiece {
    std::string_view Bytes;
    bool Shift = false;
};

// SplitCharacters - the text cut into its characters in charset. A byte that begins no valid
// character is a piece of its own, and so is every byte when the system cannot convert from
// charset. The pieces cover the text in order. Never throws but std::bad_alloc.
std::vector<CharacterPiece> SplitCharacters(std::string_view text, const std::string& charset);

}  // namespace tessel::mime
