#include "config/ini_reader.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace tessel::config {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

std::string ReadIniValueFromText(std::string_view contents, std::string_view section,
                                 std::string_view key) {
    bool inSection = false;
    std::size_t pos = 0;
    while (pos < contents.size()) {
        std::size_t end = contents.find('\n', pos);
        if (end == std::string_view::npos) end = contents.size();
        std::string_view line = TrimBlanks(contents.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            if (close == std::string_view::npos) continue;
            inSection = EqualsNoCase(TrimBlanks(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!EqualsNoCase(TrimBlanks(line.substr(0, equals)), key)) continue;
        std::string_view value = Unquote(TrimBlanks(line.substr(equals + 1)));
        return std::string(value.substr(0, kMaxIniValue));
    }
    return {};
}

std::string ReadIniValue(const std::string& path, std::string_view section, std::string_view key) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) return {};
    return ReadIniValueFromText(contents.str(), section, key);
}

}  // namespace tessel::config
