#include "util/explode.h"

namespace tessel {

DynStringArray Explode(std::string_view separator, std::string_view input, std::int32_t limit) {
    DynStringArray result;
    if (input.empty() || limit < 0) return result;
    if (separator.empty()) {
        result.emplace_back(input);
        return result;
    }
    std::string_view text = input.substr(0, input.find('\0'));
    const std::size_t length = separator.size();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(separator, pos);
        bool limitReached = limit > 0 && result.size() + 1 >= static_cast<std::size_t>(limit);
        if (end == std::string_view::npos || limitReached) end = text.size();
        result.emplace_back(text.substr(pos, end - pos));
        if (text.substr(end) == separator) result.emplace_back();
        pos = std::min(end + length, text.size());
    }
    return result;
}

}  // namespace tessel
