// The one text-to-integer conversion of the system.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "util/ascii.h"

namespace tessel {

// TryParseInteger - leading spaces, optional sign, then decimal digits or hexadecimal digits
// after "$", "x", "X", "0x" or "0X"; nothing else. Hex takes up to 8 significant digits as a
// signed 32-bit pattern. Returns nothing for any other text.
std::optional<std::int32_t> TryParseInteger(std::string_view text);

// ParseInteger (strict) - throws ConversionError carrying the whole text.
std::int32_t ParseInteger(std::string_view text);

// ParseInteger (lenient) - the default for any text that is not an integer.
std::int32_t ParseInteger(std::string_view text, std::int32_t defaultValue);

}  // namespace tessel
