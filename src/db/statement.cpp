#include "db/statement.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "db/database_error.h"
#include "util/ascii.h"

namespace tessel::db {
namespace {

// The character set number that marks binary columns (BLOB, VARBINARY).
constexpr unsigned int kBinaryCharset = 63;

bool SameName(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }

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

// A result column's value starts in a buffer of this size; a longer value grows it.
constexpr std::size_t kInitialColumnBuffer = 64;

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
    // Each ":name" of a declared parameter becomes a placeholder; any other ":" stays text.
    std::size_t i = 0;
    while (i < sql_.size()) {
        char c = sql_[i];
        if (c != ':' || i + 1 >= sql_.size() || !IsNameByte(sql_[i + 1])) {
            preparedSql_ += c;
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (end < sql_.size() && IsNameByte(sql_[end])) ++end;
        std::string_view found(sql_.data() + i + 1, end - i - 1);
        std::size_t index = parameters_.size();
        for (std::size_t p = 0; p < parameters_.size(); ++p) {
            if (SameName(parameters_[p].Name, found)) index = p;
        }
        if (index == parameters_.size()) {
            preparedSql_.append(sql_, i, end - i);
        } else {
            preparedSql_ += '?';
            placeholders_.push_back(index);
        }
        i = end;
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

void Statement::ThrowStmtError() {
    throw DatabaseError(::mysql_stmt_errno(stmt_.get()), ::mysql_stmt_error(stmt_.get()));
}

MYSQL_STMT& Statement::Prepared() {
    if (!stmt_ || preparedSession_ != connection_.Session()) {
        stmt_.reset();
        stmt_ = connection_.Prepare(preparedSql_);
        preparedSession_ = connection_.Session();
        if (::mysql_stmt_param_count(stmt_.get()) != placeholders_.size()) {
            stmt_.reset();
            throw StatementError(name_ + ": the server counts other parameters than the text names");
        }
    }
    return *stmt_;
}

void Statement::BindParameters(MYSQL_STMT& stmt) {
    parameterBinds_.assign(placeholders_.size(), MYSQL_BIND{});
    parameterDates_.assign(placeholders_.size(), MYSQL_TIME{});
    for (std::size_t p = 0; p < placeholders_.size(); ++p) {
        MYSQL_BIND& bind = parameterBinds_[p];
        std::size_t index = placeholders_[p];
        Value& value = values_[index];
        if (auto* text = std::get_if<std::string>(&value)) {
            if (text->empty() && parameters_[index].Kind == ParameterKind::Text) {
                bind.buffer_type = MYSQL_TYPE_NULL;
                bind.is_null = &null_;
                continue;
            }
            // Sent as binary: the server takes the bytes as they are and converts them to the
            // column's character set, never through the session's (which a server can make
            // multi-byte, where a byte of a value could end it).
            bind.buffer_type = MYSQL_TYPE_BLOB;
            bind.buffer = text->data();
            bind.buffer_length = text->size();
        } else if (auto* number = std::get_if<std::int32_t>(&value)) {
            bind.buffer_type = MYSQL_TYPE_LONG;
            bind.buffer = number;
        } else if (auto* date = std::get_if<std::chrono::year_month_day>(&value)) {
            MYSQL_TIME& time = parameterDates_[p];
            time.year = static_cast<unsigned int>(static_cast<int>(date->year()));
            time.month = static_cast<unsigned int>(date->month());
            time.day = static_cast<unsigned int>(date->day());
            time.time_type = MYSQL_TIMESTAMP_DATE;
            bind.buffer_type = MYSQL_TYPE_DATE;
            bind.buffer = &time;
        } else {
            bind.buffer_type = MYSQL_TYPE_NULL;
            bind.is_null = &null_;
        }
    }
    if (!parameterBinds_.empty() && ::mysql_stmt_bind_param(&stmt, parameterBinds_.data()) != 0) {
        ThrowStmtError();
    }
}

void Statement::Run(MYSQL_STMT& stmt) {
    BindParameters(stmt);
    if (::mysql_stmt_execute(&stmt) != 0) ThrowStmtError();
}

void Statement::Open() {
    if (kind_ != StatementKind::Query) throw StatementError(name_ + ": not a query");
    Close();
    MYSQL_STMT& stmt = Prepared();
    try {
        Run(stmt);
        ResultHandle metadata(::mysql_stmt_result_metadata(&stmt));
        if (!metadata) {
            if (::mysql_stmt_errno(&stmt) != 0) ThrowStmtError();
            throw DatabaseError(0, "The statement returned no result set");
        }
        open_ = true;
        CheckFields(*metadata);
        BindResult(stmt, ::mysql_num_fields(metadata.get()));
        if (::mysql_stmt_store_result(&stmt) != 0) ThrowStmtError();
        rowCount_ = ::mysql_stmt_num_rows(&stmt);
        First();
    } catch (...) {
        Close();
        throw;
    }
}

void Statement::CheckFields(MYSQL_RES& metadata) {
    unsigned int count = ::mysql_num_fields(&metadata);
    MYSQL_FIELD* columns = ::mysql_fetch_fields(&metadata);
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

// Every column is read as bytes (numbers as their decimal text), as the text protocol gave them.
void Statement::BindResult(MYSQL_STMT& stmt, unsigned int columnCount) {
    resultColumns_.resize(columnCount);
    resultBinds_.assign(columnCount, MYSQL_BIND{});
    for (unsigned int c = 0; c < columnCount; ++c) {
        ResultColumn& column = resultColumns_[c];
        if (column.Buffer.empty()) column.Buffer.resize(kInitialColumnBuffer);
        MYSQL_BIND& bind = resultBinds_[c];
        bind.buffer_type = MYSQL_TYPE_STRING;
        bind.buffer = column.Buffer.data();
        bind.buffer_length = column.Buffer.size();
        bind.length = &column.Length;
        bind.is_null = &column.IsNull;
        bind.error = &column.Truncated;
    }
    if (::mysql_stmt_bind_result(&stmt, resultBinds_.data()) != 0) ThrowStmtError();
}

void Statement::FetchRow() {
    int status = ::mysql_stmt_fetch(stmt_.get());
    if (status == 1) ThrowStmtError();
    row_.assign(fields_.size(), std::nullopt);
    if (status == MYSQL_NO_DATA) return;
    bool grown = false;
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        std::size_t c = columns_[f];
        ResultColumn& column = resultColumns_[c];
        if (column.IsNull) continue;
        if (column.Length > column.Buffer.size()) {
            // Longer than any value before it: fetch it again whole into a buffer that fits.
            column.Buffer.resize(column.Length);
            MYSQL_BIND& bind = resultBinds_[c];
            bind.buffer = column.Buffer.data();
            bind.buffer_length = column.Buffer.size();
            if (::mysql_stmt_fetch_column(stmt_.get(), &bind, static_cast<unsigned int>(c), 0) != 0) {
                ThrowStmtError();
            }
            grown = true;
        }
        row_[f].emplace(column.Buffer.data(), column.Length);
    }
    if (grown && ::mysql_stmt_bind_result(stmt_.get(), resultBinds_.data()) != 0) ThrowStmtError();
}

void Statement::First() {
    if (!open_ || rowCount_ == 0) {
        atEnd_ = true;
        return;
    }
    ::mysql_stmt_data_seek(stmt_.get(), 0);
    index_ = 0;
    FetchRow();
    atEnd_ = false;
}

void Statement::Next() {
    if (!open_ || rowCount_ == 0) return;
    if (index_ + 1 < rowCount_) {
        ++index_;
        FetchRow();
    } else {
        atEnd_ = true;
    }
}

void Statement::Last() {
    if (!open_ || rowCount_ == 0) return;
    index_ = rowCount_ - 1;
    ::mysql_stmt_data_seek(stmt_.get(), index_);
    FetchRow();
    atEnd_ = true;
}

std::size_t Statement::FieldColumn(std::string_view field) const {
    for (std::size_t f = 0; f < fields_.size(); ++f) {
        if (SameName(fields_[f].Name, field)) return f;
    }
    throw StatementError(name_ + ": field '" + std::string(field) + "' not found");
}

std::optional<std::string_view> Statement::FieldValue(std::size_t f) const {
    static const std::optional<std::string_view> kNull;
    if (!open_ || rowCount_ == 0 || row_.empty()) return kNull;
    return row_[f];
}

std::string Statement::ReadText(std::string_view field) const {
    std::optional<std::string_view> value = FieldValue(FieldColumn(field));
    return value ? std::string(*value) : std::string();
}

std::string_view Statement::ReadView(std::string_view field) const {
    return FieldValue(FieldColumn(field)).value_or(std::string_view());
}

bool Statement::IsNull(std::string_view field) const {
    return !FieldValue(FieldColumn(field)).has_value();
}

std::int32_t Statement::ReadInteger(std::string_view field) const {
    std::size_t f = FieldColumn(field);
    if (fields_[f].Kind != FieldKind::Integer) {
        throw StatementError(name_ + ": field '" + std::string(field) + "' is not an integer field");
    }
    std::optional<std::string_view> value = FieldValue(f);
    if (!value) return 0;
    std::string_view bytes = *value;
    std::int32_t number = 0;
    auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), number);
    if (error != std::errc() || end != bytes.data() + bytes.size()) {
        throw StatementError(name_ + ": field '" + std::string(field) + "' holds " + RecordText(bytes) +
                             ", which is not a 32-bit integer");
    }
    return number;
}

void Statement::AppendToFile(std::string_view field, int fd) const {
    std::string_view bytes = FieldValue(FieldColumn(field)).value_or(std::string_view());
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
    if (open_ && stmt_) ::mysql_stmt_free_result(stmt_.get());
    open_ = false;
    columns_.clear();
    row_.clear();
    rowCount_ = 0;
    index_ = 0;
    atEnd_ = true;
}

std::uint64_t Statement::Execute() {
    if (kind_ != StatementKind::Command) throw StatementError(name_ + ": not a command");
    MYSQL_STMT& stmt = Prepared();
    Run(stmt);
    // A command that happens to return rows: read them off the wire so the session stays usable.
    ResultHandle metadata(::mysql_stmt_result_metadata(&stmt));
    if (metadata) {
        if (::mysql_stmt_store_result(&stmt) != 0) ThrowStmtError();
        ::mysql_stmt_free_result(&stmt);
    }
    return ::mysql_stmt_affected_rows(&stmt);
}

}  // namespace tessel::db
