#include "util/parse_integer.h"

#include <string>

#include "util/error.h"

namespace tessel {

namespace {

std::optional<std::uint32_t> ParseHexDigits(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        int d = HexDigitValue(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFull) return std::nullopt;  // more than 8 significant digits
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::int64_t> ParseDecimalDigits(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 2147483648LL) return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<std::int32_t> TryParseInteger(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && text[pos] == ' ') ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::string_view rest = text.substr(pos);
    std::string_view hex;
    bool isHex = false;
    if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
        isHex = true;
        hex = rest.substr(1);
    } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        isHex = true;
        hex = rest.substr(2);
    }
    if (isHex) {
        auto bits = ParseHexDigits(hex);
        if (!bits) return std::nullopt;
        std::uint32_t pattern = negative ? (0u - *bits) : *bits;
        return static_cast<std::int32_t>(pattern);
    }
    auto magnitude = ParseDecimalDigits(rest);
    if (!magnitude) return std::nullopt;
    std::int64_t value = negative ? -*magnitude : *magnitude;
    if (value > 2147483647LL || value < -2147483648LL) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::int32_t ParseInteger(std::string_view text) {
    auto value = TryParseInteger(text);
    if (!value) throw ConversionError(std::string(text));
    return *value;
}

std::int32_t ParseInteger(std::string_view text, std::int32_t defaultValue) {
    return TryParseInteger(text).value_or(defaultValue);
}

}  // namespace tessel
