// Parameter values written as SQL literals into a statement's text.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessel::db {

// How quotes are escaped inside a string literal: the server's usual backslash escapes, or, when the
// session runs with NO_BACKSLASH_ESCAPES, doubled single quotes (a backslash there is an ordinary byte).
enum class EscapeMode { Backslash, QuoteDoubling };

// QuoteString - value in single quotes. Backslash mode escapes NUL \0, LF \n, CR \r, Ctrl-Z \Z,
// " \", ' \' and \ \\ and copies every other byte; quote-doubling mode writes ' as '' and copies the
// rest. The empty value gives ''. Never throws (but std::bad_alloc).
std::string QuoteString(std::string_view value, EscapeMode mode = EscapeMode::Backslash);

// QuoteText - like QuoteString, but the empty value gives NULL.
std::string QuoteText(std::string_view value, EscapeMode mode = EscapeMode::Backslash);

// IntegerLiteral - decimal digits, with a leading minus sign when negative.
std::string IntegerLiteral(std::int32_t value);

// DateLiteral - 'YYYY-MM-DD'.
std::string DateLiteral(std::chrono::year_month_day date);

}  // namespace tessel::db
