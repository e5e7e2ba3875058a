#include "mime/header_charset.h"
#include "util/ascii.h"

#include <cctype>
#include <cstdlib>

namespace tessel::mime {

namespace {

std::string_view LocaleFromEnvironment() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return value;
    }
    return {};
}

}  // namespace

HeaderCharset HeaderCharsetForLocale(std::string_view localeName) {
    // language[_territory][.codeset][@modifier]
    std::string_view base = localeName.substr(0, localeName.find_first_of(".@"));
    std::size_t underscore = base.find('_');
    std::string_view language = base.substr(0, underscore);
    std::string_view territory =
        underscore == std::string_view::npos ? std::string_view{} : base.substr(underscore + 1);

    if (EqualsNoCase(language, "zh")) {
        bool simplified = EqualsNoCase(territory, "CN") || EqualsNoCase(territory, "SG");
        return {simplified ? "GB2312" : "Big5", 'B', false};
    }
    if (EqualsNoCase(language, "ja")) return {"ISO-2022-JP", 'B', true};
    if (EqualsNoCase(language, "ko")) return {"EUC-KR", 'B', false};
    if (EqualsNoCase(language, "ru")) return {"KOI8-R", 'B', false};
    if (EqualsNoCase(language, "uk")) return {"windows-1251", 'B', false};
    return {"ISO-8859-1", 'Q', false};
}

const HeaderCharset& ProcessHeaderCharset() {
    static const HeaderCharset charset = HeaderCharsetForLocale(LocaleFromEnvironment());
    return charset;
}

std::string SourceCharsetName(const HeaderCharset& charset) {
    return charset.JapaneseConversion ? "Shift_JIS" : charset.Name;
}

}  // namespace tessel::mime
