#include "config/password_cipher.h"

#include "util/error.h"
#include "util/ascii.h"
#include "util/parse_integer.h"

namespace tessel::config {
namespace {

std::uint16_t NextKey(std::uint16_t key, unsigned char cipherByte) {
    // 16-bit arithmetic done in 32 bits: uint16_t operands would promote to int and overflow.
    std::uint32_t next = (static_cast<std::uint32_t>(key) + cipherByte) & 0xFFFFu;
    next = (next * kCipherMultiplier + kCipherAddend) & 0xFFFFu;
    return static_cast<std::uint16_t>(next);
}

}  // namespace

std::string HexDecode(std::string_view text) {
    std::string result;
    result.reserve(text.size() / 2);
    for (std::size_t p = 0; p + 1 < text.size(); p += 2) {
        int high = HexDigitValue(text[p]), low = HexDigitValue(text[p + 1]);
        if (high < 0 || low < 0) throw ConversionError("$" + std::string(text.substr(p, 2)));
        result.push_back(static_cast<char>(high * 16 + low));
    }
    return result;
}

std::string HexEncode(std::string_view bytes) {
    std::string result;
    result.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) AppendHexByte(result, b);
    return result;
}

std::string DecryptString(std::string_view cipher, std::uint16_t startKey) {
    std::string plain(cipher.size(), '\0');
    std::uint16_t key = startKey;
    for (std::size_t i = 0; i < cipher.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(cipher[i]);
        plain[i] = static_cast<char>(c ^ (key >> 8));
        key = NextKey(key, c);
    }
    return plain;
}

std::string EncryptString(std::string_view plain, std::uint16_t startKey) {
    std::string cipher(plain.size(), '\0');
    std::uint16_t key = startKey;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(static_cast<unsigned char>(plain[i]) ^ (key >> 8));
        cipher[i] = static_cast<char>(c);
        key = NextKey(key, c);
    }
    return cipher;
}

}  // namespace tessel::config
