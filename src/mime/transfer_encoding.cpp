#include "mime/transfer_encoding.h"
#include "util/ascii.h"

#include <algorithm>

namespace tessel::mime {

namespace {

bool IsEightBit(char c) { return static_cast<unsigned char>(c) > 127; }

// The length of a line on the wire: dot-stuffing adds a full stop in front of a leading one.
std::size_t StuffedLength(std::string_view line) {
    return line.size() + (!line.empty() && line.front() == '.' ? 1 : 0);
}

bool HasOverlongLine(const BodyText& lines) {
    return std::any_of(lines.begin(), lines.end(),
                       [](std::string_view line) { return StuffedLength(line) > kMaxBodyLine; });
}

bool IsLiteral(char c) { return (c >= 33 && c <= 126 && c != '=') || c == ' ' || c == '\t'; }

}  // namespace

bool HasEightBitByte(const BodyText& lines) {
    std::string_view text = lines.Text();
    return std::any_of(text.begin(), text.end(), IsEightBit);
}

TextBodyForm TextBodyFormOf(const BodyText& source, const BodyText& sent,
                            const std::string& charsetName) {
    TextBodyForm form;
    if (HasEightBitByte(source)) form.Charset = charsetName;
    if (HasOverlongLine(sent)) {
        form.Encoding = TransferEncoding::QuotedPrintable;
    } else if (HasEightBitByte(sent)) {
        form.Encoding = TransferEncoding::EightBit;
    }
    return form;
}

std::string TextContentType(const TextBodyForm& form) {
    return form.Charset.empty() ? "text/plain" : "text/plain; charset=" + form.Charset;
}

std::string_view TransferEncodingName(TransferEncoding encoding) {
    switch (encoding) {
    case TransferEncoding::SevenBit:
        return "7bit";
    case TransferEncoding::EightBit:
        return "8bit";
    case TransferEncoding::QuotedPrintable:
        return "quoted-printable";
    }
    return "7bit";
}

std::vector<std::string> QuotedPrintableLines(std::string_view line) {
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        const bool last = i + 1 == line.size();
        std::string piece;
        // A blank at the end of a line would be lost by transports that trim lines.
        if (IsLiteral(c) && !(last && (c == ' ' || c == '\t'))) {
            piece = c;
        } else {
            piece = "=";
            AppendHexByte(piece, static_cast<unsigned char>(c));
        }
        // The room for the soft line break's "=" is kept on every line but the last.
        const std::size_t room = last ? kMaxQuotedPrintableLine : kMaxQuotedPrintableLine - 1;
        if (current.size() + piece.size() > room) {
            lines.push_back(current + "=");
            current.clear();
        }
        current += piece;
    }
    lines.push_back(current);
    return lines;
}

}  // namespace tessel::mime
