// ParseInteger: strict and lenient forms agree; only ConversionError escapes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "util/error.h"
#include "util/parse_integer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto value = tessel::TryParseInteger(text);
    try {
        if (tessel::ParseInteger(text) != *value) std::abort();
    } catch (const tessel::ConversionError&) {
        if (value) std::abort();
    }
    if (tessel::ParseInteger(text, 42) != value.value_or(42)) std::abort();
    return 0;
}
