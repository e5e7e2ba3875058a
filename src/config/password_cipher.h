// The rolling-key cipher of the database password in configs.ini.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessel::config {

// The program's three cipher constants; every configs.ini must be written with them.
inline constexpr std::uint16_t kCipherStartKey = 0x5A3C;
inline constexpr std::uint16_t kCipherMultiplier = 0xC2E1;
inline constexpr std::uint16_t kCipherAddend = 0x3B9F;

// HexDecode - pairs of hexadecimal digits to bytes; an odd last digit is ignored.
// Throws ConversionError "'$XY' is not a valid integer value" for a pair XY that is not hex.
std::string HexDecode(std::string_view text);

// HexEncode - each byte as two upper-case hexadecimal digits.
std::string HexEncode(std::string_view bytes);

// DecryptString - plain byte = cipher byte XOR the key's high byte; the key advances on the
// cipher byte. Result has the input's length.
std::string DecryptString(std::string_view cipher, std::uint16_t startKey);

// EncryptString - the inverse of DecryptString.
std::string EncryptString(std::string_view plain, std::uint16_t startKey);

}  // namespace tessel::config
