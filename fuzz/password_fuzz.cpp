// HexDecode and DecryptString: only ConversionError escapes; deciphering keeps the length and
// enciphering inverts it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/password_cipher.h"
#include "util/error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessel::config;
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        std::string bytes = HexDecode(text);
        if (bytes.size() != text.size() / 2) std::abort();
        std::string plain = DecryptString(bytes, kCipherStartKey);
        if (plain.size() != bytes.size()) std::abort();
        if (EncryptString(plain, kCipherStartKey) != bytes) std::abort();
    } catch (const tessel::ConversionError&) {
    }
    return 0;
}
