#include "db/sql_literal.h"

#include <cstdio>

namespace tessel::db {

std::string QuoteString(std::string_view value, EscapeMode mode) {
    std::string out;
    out.reserve(value.size() + 2);
    out += '\'';
    for (char c : value) {
        if (mode == EscapeMode::QuoteDoubling) {
            if (c == '\'') out += '\'';
            out += c;
            continue;
        }
        switch (c) {
            case '\0': out += "\\0"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\x1a': out += "\\Z"; break;
            case '"': out += "\\\""; break;
            case '\'': out += "\\'"; break;
            case '\\': out += "\\\\"; break;
            default: out += c; break;
        }
    }
    out += '\'';
    return out;
}

std::string QuoteText(std::string_view value, EscapeMode mode) {
    return value.empty() ? std::string("NULL") : QuoteString(value, mode);
}

std::string IntegerLiteral(std::int32_t value) { return std::to_string(value); }

std::string DateLiteral(std::chrono::year_month_day date) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "'%04d-%02u-%02u'", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return buffer;
}

}  // namespace tessel::db
