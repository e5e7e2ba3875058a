// Reading one header of a received message text.
#pragma once

#include <string>

namespace tessel::test {

// HeaderValue - the value of the first header line "name: value" of text (CR LF line ends; the
// first line counts too); empty when there is none. Continuation lines are not joined.
inline std::string HeaderValue(const std::string& text, const std::string& name) {
    const std::string key = name + ": ";
    std::size_t start = key.size();
    if (!text.starts_with(key)) {
        const std::size_t at = text.find("\r\n" + key);
        if (at == std::string::npos) return "";
        start += at + 2;
    }
    return text.substr(start, text.find("\r\n", start) - start);
}

}  // namespace tessel::test
