// The character set label that non-ASCII header text carries, chosen from the locale.
#pragma once

#include <string>
#include <string_view>

namespace tessel::mime {

// HeaderCharset - charset name, encoded-word letter ('Q' or 'B') and whether header text
// (and a plain body) is converted from Shift_JIS to ISO-2022-JP first.
struct HeaderCharset {
    std::string Name;
    char Letter;
    bool JapaneseConversion;
};

// HeaderCharsetForLocale - the charset for a locale name such as "ja_JP.UTF-8": zh_CN and zh_SG
// GB2312, other zh Big5, ja ISO-2022-JP, ko EUC-KR, ru KOI8-R, uk windows-1251, anything else
// (C, POSIX, empty) ISO-8859-1 with Q. Never throws.
HeaderCharset HeaderCharsetForLocale(std::string_view localeName);

// SourceCharsetName - the name of the charset of text that was not converted: "Shift_JIS" with the
// Japanese conversion, else the charset's name. Never throws.
std::string SourceCharsetName(const HeaderCharset& charset);

// ProcessHeaderCharset - the charset of the first non-empty of LC_ALL, LC_CTYPE and LANG, read
// on the first call and kept for the life of the process. Never throws.
const HeaderCharset& ProcessHeaderCharset();

}  // namespace tessel::mime
