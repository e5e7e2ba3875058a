// Header forms of text and addresses: RFC 2047 encoded-words, quoted display names.
#pragma once

#include <string>
#include <string_view>

#include "mime/header_charset.h"
#include "mime/message.h"

namespace tessel::mime {

// The bytes that force a display name into an encoded-word or quotes.
inline constexpr std::string_view kNameSpecials = "()[]<>:;.,@\\\"";

// Longest encoded-word, "=?" and "?=" included (RFC 2047).
inline constexpr std::size_t kMaxEncodedWord = 75;

// HeaderSafeText - the text with every CR and LF replaced by a space, so that a header value
// can never start a header line of its own. Never throws.
std::string HeaderSafeText(std::string_view text);

// EncodeHeaderText - the text with every run of words that holds a control byte, a byte above
// 126 or one of specials replaced by encoded-words in the charset (at most 75 bytes each,
// separated by CR LF space); other words stay as they are. With the Japanese flag the text is
// first converted from Shift_JIS to ISO-2022-JP. A text holding a literal encoded-word or a NUL
// also has its words with "=" encoded. Throws PlatformError only from the Japanese conversion.
std::string EncodeHeaderText(std::string_view text, std::string_view specials,
                             const HeaderCharset& charset);

// EncodeAsEncodedWords - the whole text as encoded-words (at most 75 bytes each, separated by
// CR LF space), with every control byte, byte above 126 and byte of specials quoted; the Japanese
// flag converts first as above. An empty text gives an empty result. Throws as EncodeHeaderText.
std::string EncodeAsEncodedWords(std::string_view text, std::string_view specials, const HeaderCharset& charset);

// FormatHeaderAddress - the From/To form: `"Name" <address>`, an encoded-word instead of the
// quoted name when it holds a control byte or a byte above 126, or the address alone when
// there is no name (with nameFromAddress, the address serves as the name). CR and LF in name
// and address become spaces. Throws as EncodeHeaderText.
std::string FormatHeaderAddress(const MailAddress& address, bool nameFromAddress,
                                const HeaderCharset& charset);

// FormatAddressSpec - the address part of the plain form: "local@domain", "<local@domain>"
// when there is a name, the local part quoted when it needs it, "<>" for a name without
// address. CR and LF become spaces. Never throws.
std::string FormatAddressSpec(const MailAddress& address);

// FormatPlainAddress - the plain form used in Sender and read back by the SMTP session:
// `Name <local@domain>`, the name in double quotes when it holds bytes outside atoms and
// spaces; never encoded-words. CR and LF become spaces. Never throws.
std::string FormatPlainAddress(const MailAddress& address);

// FormatSenderAddress - the Sender form: the plain form, except that a name holding a byte above
// 127 is written as encoded-words as in From, followed by "<address>". Throws as EncodeHeaderText.
std::string FormatSenderAddress(const MailAddress& address, const HeaderCharset& charset);

}  // namespace tessel::mime
