#include "db/statement.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "db/database_error.h"

namespace tessel::db {
namespace {

// The character set number that marks binary columns (BLOB, VARBINARY).
constexpr unsigned int kBinaryCharset = 63;

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IsNameByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsBlobType(enum_field_types type) {
    return type == MYSQL_TYPE_TINY_BLOB || type == MYSQL_TYPE_BLOB ||
           type == MYSQL_TYPE_MEDIUM_BLOB || type == MYSQL_TYPE_LONG_BLOB;
}

bool FieldMatches(const MYSQL_FIELD& field, FieldKind kind) {
    bool binary = field.charsetnr == kBinaryCharset;
    switch (kind) {
        case FieldKind::Integer:
            return field.type == MYSQL_TYPE_TINY || field.type == MYSQL_TYPE_SHORT ||
                   field.type == MYSQL_TYPE_INT24 || field.type == MYSQL_TYPE_LONG;
        case FieldKind::String:
            return !binary && (field.type == MYSQL_TYPE_VAR_STRING ||
                               field.type == MYSQL_TYPE_STRING || field.type == MYSQL_TYPE_VARCHAR);
        case FieldKind::Text: return !binary && IsBlobType(field.type);
        case FieldKind::Blob: return binary && IsBlobType(field.type);
    }
    return false;
}

const char* KindName(FieldKind kind) {
    switch (kind) {
        case FieldKind::Integer: return "an integer";
        case FieldKind::String: return "a string";
        case FieldKind::Text: return "a text";
        case FieldKind::Blob: return "a blob";
    }
    return "?";
}

std::string ColumnTypeName(const MYSQL_FIELD& field) {
    bool binary = field.charsetnr == kBinaryCharset;
    switch (field.type) {
        case MYSQL_TYPE_TINY: return "TINYINT";
        case MYSQL_TYPE_SHORT: return "SMALLINT";
        case MYSQL_TYPE_INT24: return "MEDIUMINT";
        case MYSQL_TYPE_LONG: return "INT";
        case MYSQL_TYPE_LONGLONG: return "BIGINT";
        case MYSQL_TYPE_DECIMAL:
        case MYSQL_TYPE_NEWDECIMAL: return "DECIMAL";
        case MYSQL_TYPE_FLOAT: return "FLOAT";
        case MYSQL_TYPE_DOUBLE: return "DOUBLE";
        case MYSQL_TYPE_DATE: return "DATE";
        case MYSQL_TYPE_TIME: return "TIME";
        case MYSQL_TYPE_DATETIME: return "DATETIME";
        case MYSQL_TYPE_TIMESTAMP: return "TIMESTAMP";
        case MYSQL_TYPE_VARCHAR:
        case MYSQL_TYPE_VAR_STRING: return binary ? "VARBINARY" : "VARCHAR";
        case MYSQL_TYPE_STRING: return binary ? "BINARY" : "CHAR";
        case MYSQL_TYPE_TINY_BLOB:
        case MYSQL_TYPE_BLOB:
        case MYSQL_TYPE_MEDIUM_BLOB:
        case MYSQL_TYPE_LONG_BLOB: return binary ? "BLOB" : "TEXT";
        default: return "type " + std::to_string(static_cast<int>(field.type));
    }
}

}  // namespace

Statement::Statement(Connection& connection, std::string name, StatementKind kind,
                     const std::vector<std::string>& sqlLines, std::vector<ParameterSpec> parameters,
                     std::vector<FieldSpec> fields)
    : connection_(connection), name_(std::move(name)), kind_(kind),
      parameters_(std::move(parameters)), values_(parameters_.size()), fields_(std::move(fields)) {
    for (std::size_t i = 0; i < sqlLines.size(); ++i) {
        if (i > 0) sql_ += "\r\n";
        sql_ += sqlLines[i];
    }
}

std::size_t Statement::ParameterIndex(std::string_view parameter, ParameterKind expected) const {
    for (std::size_t i = 0; i < parameters_.size(); ++i) {
        if (!SameName(parameters_[i].Name, parameter)) continue;
        ParameterKind kind = parameters_[i].Kind;
        bool stringLike = kind == ParameterKind::String || kind == ParameterKind::Text;
        bool fits = expected == ParameterKind::String ? stringLike : kind == expected;
        if (!fits) {
            throw StatementError(name_ + ": parameter '" + std::string(parameter) +
                                 "' is set with a value of another type");
        }
        return i;
    }
    throw StatementError(name_ + ": parameter '" + std::string(parameter) + "' not found");
}

void Statement::SetString(std::string_view parameter, std::string value) {
    values_[ParameterIndex(parameter, ParameterKind::String)] = std::move(value);
}

void Statement::SetInteger(std::string_view parameter, std::int32_t value) {
    values_[ParameterIndex(parameter, ParameterKind::Integer)] = value;
}

void Statement::SetDate(std::string_view parameter, std::chrono::year_month_day value) {
    values_[ParameterIndex(parameter, ParameterKind::Date)] = value;
}

std::string Statement::RenderSql(EscapeMode mode) const {
    std::string out;
    out.reserve(sql_.size());
    std::size_t i = 0;
    while (i < sql_.size()) {
        char c = sql_[i];
        if (c != ':' || i + 1 >= sql_.size() || !IsNameByte(sql_[i + 1])) {
            out += c;
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (end < sql_.size() && IsNameByte(sql_[end])) ++end;
        std::string_view name(sql_.data() + i + 1, end - i - 1);
        std::size_t index = parameters_.size();
        for (std::size_t p = 0; p < parameters_.size(); ++p) {
            if (SameName(parameters_[p].Name, name)) index = p;
        }
        if (index == parameters_.size()) {
            out.append(sql_, i, end - i);
        } else {
            const Value& value = values_[index];
            if (std::holds_alternative<std::monostate>(value)) {
                out += "NULL";
            } else if (auto* text = std::get_if<std::string>(&value)) {
                out += parameters_[index].Kind == ParameterKind::Text ? QuoteText(*text, mode)
                                                                      : QuoteString(*text, mode);
            } else if (auto* number = std::get_if<std::int32_t>(&value)) {
                out += IntegerLiteral(*number);
            } else {
                out += DateLiteral(std::get<std::chrono::year_month_day>(value));
            }
        }
        i = end;
    }
    return out;
}

void Statement::Open() {
    if (kind_ != StatementKind::Query) throw StatementError(name_ + ": not a query");
    Close();
    result_ = connection_.Query(RenderSql(connection_.EscapeModeNow()));
    try {
        CheckFields();
    } catch (...) {
        Close();
        throw;
    }
    rowCount_ = ::mysql_num_rows(result_.get());
    First();
}

void Statement::CheckFields() {
    unsigned int count = ::mysql_num_fields(result_.get());
    MYSQL_FIELD* columns = ::mysql_fetch_fields(result_.get());
    columns_.assign(fields_.size(), 0);
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        const FieldSpec& spec = fields_[f];
        unsigned int c = 0;
        while (c < count && !SameName(spec.Name, columns[c].name)) ++c;
        if (c == count) throw StatementError(name_ + ": field '" + spec.Name + "' not found");
        if (!FieldMatches(columns[c], spec.Kind)) {
            throw StatementError(name_ + ": field '" + spec.Name + "' is a " +
                                 ColumnTypeName(columns[c]) + " column where " +
                                 KindName(spec.Kind) + " is declared");
        }
        columns_[f] = c;
    }
}

void Statement::MoveTo(std::uint64_t index) {
    index_ = index;
    ::mysql_data_seek(result_.get(), index);
    row_ = ::mysql_fetch_row(result_.get());
    lengths_ = ::mysql_fetch_lengths(result_.get());
}

void Statement::First() {
    if (!result_ || rowCount_ == 0) {
        atEnd_ = true;
        return;
    }
    MoveTo(0);
    atEnd_ = false;
}

void Statement::Next() {
    if (!result_ || rowCount_ == 0) return;
    if (index_ + 1 < rowCount_) {
        MoveTo(index_ + 1);
    } else {
        atEnd_ = true;
    }
}

void Statement::Last() {
    if (!result_ || rowCount_ == 0) return;
    MoveTo(rowCount_ - 1);
    atEnd_ = true;
}

std::size_t Statement::FieldColumn(std::string_view field) const {
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        if (SameName(fields_[f].Name, field)) return f;
    }
    throw StatementError(name_ + ": field '" + std::string(field) + "' not found");
}

std::string_view Statement::FieldBytes(std::size_t f, bool& isNull) const {
    isNull = true;
    if (!result_ || rowCount_ == 0 || row_ == nullptr) return {};
    std::size_t column = columns_[f];
    if (row_[column] == nullptr) return {};
    isNull = false;
    return std::string_view(row_[column], lengths_[column]);
}

std::string Statement::ReadText(std::string_view field) const {
    bool isNull = false;
    return std::string(FieldBytes(FieldColumn(field), isNull));
}

bool Statement::IsNull(std::string_view field) const {
    bool isNull = false;
    FieldBytes(FieldColumn(field), isNull);
    return isNull;
}

std::int32_t Statement::ReadInteger(std::string_view field) const {
    std::size_t f = FieldColumn(field);
    if (fields_[f].Kind != FieldKind::Integer) {
        throw StatementError(name_ + ": field '" + std::string(field) + "' is not an integer field");
    }
    bool isNull = false;
    std::string_view bytes = FieldBytes(f, isNull);
    if (isNull) return 0;
    std::int32_t value = 0;
    auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value);
    if (error != std::errc() || end != bytes.data() + bytes.size()) {
        throw StatementError(name_ + ": field '" + std::string(field) + "' holds " +
                             std::string(bytes) + ", which is not a 32-bit integer");
    }
    return value;
}

void Statement::AppendToFile(std::string_view field, int fd) const {
    bool isNull = false;
    std::string_view bytes = FieldBytes(FieldColumn(field), isNull);
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            throw PlatformError(errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void Statement::Close() noexcept {
    result_.reset();
    columns_.clear();
    rowCount_ = 0;
    index_ = 0;
    atEnd_ = true;
    row_ = nullptr;
    lengths_ = nullptr;
}

std::uint64_t Statement::Execute() {
    if (kind_ != StatementKind::Command) throw StatementError(name_ + ": not a command");
    return connection_.Execute(RenderSql(connection_.EscapeModeNow()));
}

}  // namespace tessel::db
