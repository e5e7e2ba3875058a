// ASCII text helpers: letter case, trimming and hexadecimal digits, independent of the locale.
// Protocol words, header names, settings and switches are ASCII: a locale must never change how
// they compare.
#pragma once

#include <string>
#include <string_view>

namespace tessel {

// kBlanks - space and horizontal tab, what header and reply syntax calls white space.
inline constexpr std::string_view kBlanks = " \t";

// kUpperHexDigits, kLowerHexDigits - the sixteen digits, each case.
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// LowerAscii, UpperAscii - the letter in the other case; any other byte as it is.
constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// LowerCase, UpperCase - the text with every ASCII letter in that case.
std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);

// EqualsNoCase - the same bytes but for the case of ASCII letters.
bool EqualsNoCase(std::string_view a, std::string_view b);

// StartsWithNoCase - text begins with prefix, but for the case of ASCII letters.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// Trim - text without the bytes of blanks at either end (TrimLeft: at its start only).
std::string_view Trim(std::string_view text, std::string_view blanks = kBlanks);
std::string_view TrimLeft(std::string_view text, std::string_view blanks = kBlanks);

// HexDigitValue - the value of a hexadecimal digit (either case), or -1 for any other byte.
int HexDigitValue(char c);

// AppendHexByte - the byte as two hexadecimal digits (digits: kUpperHexDigits or kLowerHexDigits).
void AppendHexByte(std::string& out, unsigned char byte, const char* digits = kUpperHexDigits);

}  // namespace tessel
