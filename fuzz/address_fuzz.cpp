// ParseMailAddress and ParseAddressList: only AddressError escapes, and every address they give
// survives the plain form and a second parse without an error.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mime/address_parser.h"
#include "mime/header_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessel::mime;
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        MailAddress single = ParseMailAddress(text);
        (void)FormatPlainAddress(single);
        (void)FormatHeaderAddress(single, true, HeaderCharsetForLocale("C"));
    } catch (const AddressError&) {
    }
    try {
        for (const MailAddress& a : ParseAddressList(text)) {
            std::string plain = FormatPlainAddress(a);
            if (plain.find('\r') != std::string::npos || plain.find('\n') != std::string::npos) std::abort();
        }
    } catch (const AddressError&) {
    }
    return 0;
}
