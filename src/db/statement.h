// A named SQL statement bound to the connection: prepared on the server (its values travel apart
// from the SQL text, in the binary protocol), results fetched whole when opened and read row by
// row in order, fields looked up by column name and checked against their declaration.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
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

    // PreparedSql - the text the server prepares: each ":name" of a declared parameter replaced by
    // "?". Values are bound to it as they are: strings as bytes that no character set converts,
    // an empty Text and a parameter never set as NULL.
    const std::string& PreparedSql() const { return preparedSql_; }

    // Open (queries) - runs the query, fetches the whole result and stands on its first row.
    // Prepares the statement first when this connection session has not.
    // Throws DatabaseError, or StatementError when a declared field is missing or of another kind.
    void Open();
    bool IsOpen() const { return open_; }
    // Empty - the open result has no rows (also true when closed).
    bool Empty() const { return rowCount_ == 0; }
    // AtEnd - true once Next has passed the last row, after Last, and on an empty result.
    bool AtEnd() const { return atEnd_; }
    // Next - the following row, at the same cost whatever the row's position; First goes back to
    // the start, Last walks to the end.
    void Next();
    void First();
    void Last();

    // ReadText - the field's bytes in the current row; empty for NULL or an empty result.
    std::string ReadText(std::string_view field) const;
    // ReadView - as ReadText, without a copy: valid until the row changes or the result is closed.
    std::string_view ReadView(std::string_view field) const;
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

    // ResultColumn - where the client library puts one column's value of the current row.
    struct ResultColumn {
        std::vector<char> Buffer;
        unsigned long Length = 0;
        my_bool IsNull = 0;
        my_bool Truncated = 0;
    };

    std::size_t ParameterIndex(std::string_view parameter, ParameterKind expected) const;
    MYSQL_STMT& Prepared();
    void BindParameters(MYSQL_STMT& stmt);
    void Run(MYSQL_STMT& stmt);
    [[noreturn]] void ThrowStmtError();
    void CheckFields(MYSQL_RES& metadata);
    void BindResult(MYSQL_STMT& stmt, unsigned int columnCount);
    void FetchRow();
    std::size_t FieldColumn(std::string_view field) const;
    std::optional<std::string_view> FieldValue(std::size_t field) const;

    Connection& connection_;
    std::string name_;
    StatementKind kind_;
    std::string sql_;
    std::string preparedSql_;
    std::vector<std::size_t> placeholders_;  // the parameter of each "?", in order
    std::vector<ParameterSpec> parameters_;
    std::vector<Value> values_;
    std::vector<FieldSpec> fields_;

    StmtHandle stmt_;
    std::uint64_t preparedSession_ = 0;
    std::vector<MYSQL_BIND> parameterBinds_;
    std::vector<MYSQL_TIME> parameterDates_;
    my_bool null_ = 1;  // the indicator that every NULL parameter points at

    bool open_ = false;
    std::vector<std::size_t> columns_;  // result column of each declared field
    std::vector<ResultColumn> resultColumns_;
    std::vector<MYSQL_BIND> resultBinds_;
    std::vector<std::optional<std::string_view>> row_;  // the declared fields of the current row, viewed in the column buffers
    std::uint64_t rowCount_ = 0;
    std::uint64_t index_ = 0;
    bool atEnd_ = true;
};

}  // namespace tessel::db
