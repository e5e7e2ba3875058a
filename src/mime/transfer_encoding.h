// How a text body goes out: its charset label and its transfer encoding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mime/body_lines.h"

namespace tessel::mime {

// Longest line that may go out as it is, without its CR LF and after dot-stuffing (RFC 5322).
inline constexpr std::size_t kMaxBodyLine = 998;

// Longest quoted-printable line, its soft line break included (RFC 2045).
inline constexpr std::size_t kMaxQuotedPrintableLine = 76;

enum class TransferEncoding { SevenBit, EightBit, QuotedPrintable };

// TextBodyForm - the charset parameter of a text body (empty: none, its bytes are ASCII) and the
// transfer encoding it is sent in.
struct TextBodyForm {
    std::string Charset;
    TransferEncoding Encoding = TransferEncoding::SevenBit;
    bool operator==(const TextBodyForm&) const = default;
};

// HasEightBitByte - a byte above 127 in any line. Never throws.
bool HasEightBitByte(const BodyText& lines);

// TextBodyFormOf - source: the lines as composed; sent: the same lines as they will be written (after
// any conversion), charsetName: the charset the sent bytes are in. Labelled with charsetName when
// the source holds a byte above 127; quoted-printable when a sent line would be longer than
// kMaxBodyLine once dot-stuffed, else 8bit when a sent byte is above 127, else 7bit. Never throws.
TextBodyForm TextBodyFormOf(const BodyText& source, const BodyText& sent,
                            const std::string& charsetName);

// TextContentType - "text/plain", with "; charset=..." when the form has a charset. Never throws.
std::string TextContentType(const TextBodyForm& form);

// TransferEncodingName - "7bit", "8bit" or "quoted-printable". Never throws.
std::string_view TransferEncodingName(TransferEncoding encoding);

// QuotedPrintableLines - one line of text as quoted-printable lines (RFC 2045): every byte but the
// printable ASCII ones and "=" as "=XX", a blank at the end of the line too, and lines of at most
// 76 bytes joined by soft line breaks ("=" at the end). An empty line gives one empty line.
// Never throws.
std::vector<std::string> QuotedPrintableLines(std::string_view line);

}  // namespace tessel::mime
