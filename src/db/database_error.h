// Errors of the database layer.
#pragma once

#include <string>

#include "util/error.h"
#include "util/record_text.h"

namespace tessel::db {

// DatabaseError - the server or the client library refused an operation. Its text is the
// library's message (control bytes written as \xHH: a server's message may quote values);
// Number() is the server's (or client's) error number, 0 for the layer's own.
class DatabaseError : public Error {
public:
    DatabaseError(unsigned int number, const std::string& message)
        : Error(RecordText(message)), number_(number) {}
    unsigned int Number() const noexcept { return number_; }

private:
    unsigned int number_;
};

// StatementError - a statement used against its declaration: a result that lacks a declared field
// or has a column of another kind, an unknown parameter or field name. The text names the statement.
class StatementError : public Error {
public:
    using Error::Error;
};

}  // namespace tessel::db

namespace tessel::db {

// IsConnectionError - the connection itself failed (lost, killed, timed out, server shutting
// down): nothing about the statement or its values.
bool IsConnectionError(unsigned int number) noexcept;

// IsLockConflict - the statement waited too long for a row lock, or lost a deadlock.
bool IsLockConflict(unsigned int number) noexcept;

// IsDataError - the server refused the values of the statement (too long, wrong type or
// character, NULL where not allowed, a duplicate key, a failed constraint or trigger check).
bool IsDataError(unsigned int number) noexcept;

// IsPrivilegeError - the account lacks a privilege the statement needs (on the database, a table
// or a column).
bool IsPrivilegeError(unsigned int number) noexcept;

}  // namespace tessel::db
