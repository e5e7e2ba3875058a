// Conversion of Japanese text from the Windows Shift_JIS code page to ISO-2022-JP (RFC 1468).
#pragma once

#include <string>
#include <string_view>

namespace tessel::mime {

// ShiftJisToIso2022Jp - every run of two-byte characters becomes JIS X 0208 codes between
// ESC $ B and ESC ( B (closed at the end of the text too); half-width katakana become their
// full-width forms, a following (semi-)voiced sound mark merged into the character; bytes
// below 0x80, and bytes that form no convertible character, are copied unchanged.
// Throws PlatformError when the system has no conversion table for the code page.
std::string ShiftJisToIso2022Jp(std::string_view text);

}  // namespace tessel::mime
