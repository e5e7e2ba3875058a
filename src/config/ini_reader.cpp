#include "config/ini_reader.h"

#include <fstream>
#include <sstream>

#include "util/ascii.h"

namespace tessel::config {
namespace {

// The blanks around a section name, a key or a value (a CR of a CR LF line end among them).
constexpr std::string_view kIniBlanks = " \t\r\v\f";

std::string_view TrimBlanks(std::string_view text) { return Trim(text, kIniBlanks); }

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
