// Errors of the database layer.
#pragma once

#include <string>

#include "util/error.h"

namespace tessel::db {

// DatabaseError - the server or the client library refused an operation. Its text is the
// library's message; Number() is the server's (or client's) error number, 0 for the layer's own.
class DatabaseError : public Error {
public:
    DatabaseError(unsigned int number, const std::string& message) : Error(message), number_(number) {}
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
