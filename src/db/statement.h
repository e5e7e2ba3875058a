// A named SQL statement bound to the connection: parameters substituted as literals, results
// fetched whole when opened, fields looked up by column name and checked against their declaration.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "db/connection.h"

namespace tessel::db {

// Parameter kinds: String (empty → ''), Text (empty → NULL), Integer, Date.
enum class ParameterKind { String, Text, Integer, Date };
// Field kinds: Integer (an integer column of at most 32 bits), String (VARCHAR/CHAR), Text (a TEXT
// column), Blob (a binary BLOB column).
enum class FieldKind { Integer, String, Text, Blob };
enum class StatementKind { Query, Command };

struct ParameterSpec {
    std::string Name;
    ParameterKind Kind;
};
struct FieldSpec {
    std::string Name;
    FieldKind Kind;
};

class Statement {
public:
    // sqlLines are joined by CR LF. Parameters appear in the text as ":name".
    Statement(Connection& connection, std::string name, StatementKind kind,
              const std::vector<std::string>& sqlLines, std::vector<ParameterSpec> parameters,
              std::vector<FieldSpec> fields = {});
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    const std::string& Name() const { return name_; }
    const std::string& SqlText() const { return sql_; }

    // SetString / SetInteger / SetDate - the parameter's value until set again. SetString serves
    // String and Text parameters. Throw StatementError for an unknown name or a kind mismatch.
    void SetString(std::string_view parameter, std::string value);
    void SetInteger(std::string_view parameter, std::int32_t value);
    void SetDate(std::string_view parameter, std::chrono::year_month_day value);

    // RenderSql - the text as the server receives it: each ":name" replaced by its literal
    // (NULL for a parameter never set).
    std::string RenderSql(EscapeMode mode = EscapeMode::Backslash) const;

    // Open (queries) - runs the query, fetches the whole result and stands on its first row.
    // Throws DatabaseError, or StatementError when a declared field is missing or of another kind.
    void Open();
    bool IsOpen() const { return result_ != nullptr; }
    // Empty - the open result has no rows (also true when closed).
    bool Empty() const { return rowCount_ == 0; }
    // AtEnd - true once Next has passed the last row, after Last, and on an empty result.
    bool AtEnd() const { return atEnd_; }
    void Next();
    void First();
    void Last();

    // ReadText - the field's bytes in the current row; empty for NULL or an empty result.
    std::string ReadText(std::string_view field) const;
    // ReadInteger - an Integer field's value in the current row; 0 for NULL or an empty result.
    std::int32_t ReadInteger(std::string_view field) const;
    // IsNull - whether the field is NULL in the current row (true on an empty result).
    bool IsNull(std::string_view field) const;
    // AppendToFile - writes the field's bytes to the open descriptor fd (nothing for NULL).
    // Throws PlatformError when the write fails.
    void AppendToFile(std::string_view field, int fd) const;

    // Close - discards the result; does nothing when not open. Never throws.
    void Close() noexcept;

    // Execute (commands) - runs the command; returns the affected row count. Throws DatabaseError.
    std::uint64_t Execute();

private:
    using Value = std::variant<std::monostate, std::string, std::int32_t, std::chrono::year_month_day>;

    std::size_t ParameterIndex(std::string_view parameter, ParameterKind expected) const;
    void CheckFields();
    void MoveTo(std::uint64_t index);
    std::size_t FieldColumn(std::string_view field) const;
    std::string_view FieldBytes(std::size_t column, bool& isNull) const;

    Connection& connection_;
    std::string name_;
    StatementKind kind_;
    std::string sql_;
    std::vector<ParameterSpec> parameters_;
    std::vector<Value> values_;
    std::vector<FieldSpec> fields_;

    ResultHandle result_;
    std::vector<std::size_t> columns_;  // result column of each declared field
    std::uint64_t rowCount_ = 0;
    std::uint64_t index_ = 0;
    bool atEnd_ = true;
    MYSQL_ROW row_ = nullptr;
    unsigned long* lengths_ = nullptr;
};

}  // namespace tessel::db
