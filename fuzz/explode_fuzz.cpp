// Explode: never crashes, and without a limit joining the pieces gives back the scanned input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "util/explode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t sepLength = data[0] % 4;
    std::int32_t limit = static_cast<std::int8_t>(data[1]) % 5;
    std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    if (rest.size() < sepLength) return 0;
    std::string separator = rest.substr(0, sepLength);
    std::string input = rest.substr(sepLength);
    auto pieces = tessel::Explode(separator, input, limit);
    if (limit < 0 && !pieces.empty()) std::abort();
    if (limit > 0 && pieces.size() > static_cast<std::size_t>(limit)) std::abort();
    if (limit == 0 && !separator.empty() && !input.empty()) {
        std::string joined;
        for (std::size_t i = 0; i < pieces.size(); ++i) joined += (i ? separator : "") + pieces[i];
        std::string scanned = input.substr(0, input.find('\0'));
        if (joined != scanned) std::abort();
    }
    return 0;
}
