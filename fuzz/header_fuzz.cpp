// EncodeHeaderText followed by FoldHeaderLine: no output line holds CR or LF, no continuation line
// is empty, and no encoded-word is longer than 75 bytes, for both encodings.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mime/header_encoding.h"
#include "mime/header_lines.h"

namespace {

void CheckEncodedWords(std::string_view line) {
    std::size_t pos = 0;
    while ((pos = line.find("=?", pos)) != std::string_view::npos) {
        // An encoded-word made here runs from "=?" to the "?=" after its three "?" parts.
        std::size_t q1 = line.find('?', pos + 2);
        std::size_t q2 = q1 == std::string_view::npos ? q1 : line.find('?', q1 + 1);
        std::size_t end = q2 == std::string_view::npos ? q2 : line.find("?=", q2 + 1);
        if (end == std::string_view::npos) return;
        if (end + 2 - pos > tessel::mime::kMaxEncodedWord) std::abort();
        pos = end + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessel::mime;
    if (size < 1) return 0;
    const HeaderCharset charset = HeaderCharsetForLocale(data[0] & 1 ? "ru_RU.KOI8-R" : "pt_PT");
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string value = EncodeHeaderText(HeaderSafeText(text), {}, charset);
    bool first = true;
    for (const std::string& line : FoldHeaderLine("Subject: " + value)) {
        if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos) std::abort();
        if (!first && line.empty()) std::abort();
        first = false;
        // Encoded-words are only checked when the input made all of them (no literal "=?" in it).
        if (text.find("=?") == std::string::npos) CheckEncodedWords(line);
    }
    return 0;
}
