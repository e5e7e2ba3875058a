#include "mime/attachment_name.h"

#include <algorithm>

#include "mime/header_encoding.h"
#include "mime/header_lines.h"
#include "util/ascii.h"

namespace tessel::mime {

namespace {

constexpr std::string_view kEncodedWordBreak = "\r\n ";

bool HasEightBit(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > 127; });
}

// The bytes RFC 2231 lets stand for themselves (attribute-char), less a few that readers mishandle.
bool IsPlainFilenameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
}

// The name with every other byte as %XX, kept as separate pieces so that a cut never splits one.
std::vector<std::string> PercentPieces(std::string_view name) {
    std::vector<std::string> pieces;
    for (char c : name) {
        std::string piece;
        if (IsPlainFilenameByte(c)) {
            piece = c;
        } else {
            piece = "%";
            AppendHexByte(piece, static_cast<unsigned char>(c));
        }
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

}  // namespace

std::vector<std::string> NameParameterLines(std::string_view name, const HeaderCharset& charset) {
    if (!HasEightBit(name)) return {std::string(kPartIndent) + "name=\"" + std::string(name) + "\""};
    // Within the quoted value the double quote and the backslash must not appear unencoded.
    const std::string words = EncodeAsEncodedWords(name, "\"\\", charset);
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = words.find(kEncodedWordBreak, at);
        const std::string_view word = std::string_view(words).substr(at, end - at);
        lines.push_back(lines.empty() ? std::string(kPartIndent) + "name=\"" + std::string(word)
                                      : " " + std::string(word));
        if (end == std::string::npos) break;
        at = end + kEncodedWordBreak.size();
    }
    lines.back() += "\"";
    return lines;
}

std::vector<std::string> FilenameParameterLines(std::string_view name, const HeaderCharset& charset) {
    if (!HasEightBit(name)) return {std::string(kPartIndent) + "filename=\"" + std::string(name) + "\""};
    const std::string prefix = SourceCharsetName(charset) + "''";
    const std::vector<std::string> pieces = PercentPieces(name);
    std::string whole = prefix;
    for (const std::string& piece : pieces) whole += piece;
    const std::string single = std::string(kPartIndent) + "filename*=" + whole;
    if (single.size() <= kFoldWidth) return {single};

    // Numbered continuations (RFC 2231, 3): each line ends in ";" but the last.
    std::vector<std::string> lines;
    std::string value = prefix;
    auto flush = [&] {
        lines.push_back(std::string(kPartIndent) + "filename*" + std::to_string(lines.size()) + "*=" + value);
        value.clear();
    };
    for (const std::string& piece : pieces) {
        const std::string head = std::string(kPartIndent) + "filename*" + std::to_string(lines.size()) + "*=";
        if (!value.empty() && head.size() + value.size() + piece.size() + 1 > kFoldWidth) flush();
        value += piece;
    }
    flush();
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) lines[i] += ";";
    return lines;
}

}  // namespace tessel::mime
