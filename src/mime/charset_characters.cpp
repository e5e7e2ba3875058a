#include "mime/charset_characters.h"

#include <algorithm>
#include <memory>

#include "util/error.h"
#include "util/iconv.h"

namespace tessel::mime {

namespace {

// Longer than any character or shift sequence of the codes in use (UTF-8: 4, ISO-2022: 4).
constexpr std::size_t kLongestPiece = 8;

std::unique_ptr<Iconv> OpenDecoder(const std::string& charset) {
    try {
        return std::make_unique<Iconv>("UTF-32LE", charset.c_str());
    } catch (const PlatformError&) {
        return nullptr;
    }
}

// NextPiece - the shortest prefix of text that iconv takes whole; one byte when none does.
CharacterPiece NextPiece(Iconv& decoder, std::string_view text) {
    const std::size_t longest = std::min(kLongestPiece, text.size());
    for (std::size_t length = 1; length <= longest; ++length) {
        const IconvStep step = decoder.Step(text.substr(0, length));
        if (step.Outcome == IconvStep::Result::Done) return {text.substr(0, length), step.Output.empty()};
        if (step.Outcome == IconvStep::Result::Invalid) break;
    }
    return {text.substr(0, 1), false};
}

}  // namespace

std::vector<CharacterPiece> SplitCharacters(std::string_view text, const std::string& charset) {
    std::vector<CharacterPiece> pieces;
    const std::unique_ptr<Iconv> decoder = OpenDecoder(charset);
    while (!text.empty()) {
        const CharacterPiece piece = decoder ? NextPiece(*decoder, text) : CharacterPiece{text.substr(0, 1)};
        pieces.push_back(piece);
        text.remove_prefix(piece.Bytes.size());
    }
    return pieces;
}

}  // namespace tessel::mime
