#include "db/transaction.h"

#include <exception>

namespace tessel::db {
namespace {

constexpr const char* kSavepoint = "tessel_row";

}  // namespace

Transaction::Transaction(Connection& connection) : connection_(connection) {
    connection_.Execute("START TRANSACTION");
}

Transaction::~Transaction() {
    if (!open_ || !connection_.IsConnected()) return;
    try {
        connection_.Execute("ROLLBACK");
    } catch (const std::exception&) {
        // The server rolls the transaction back when the connection ends.
    }
}

void Transaction::Commit() {
    connection_.Execute("COMMIT");
    open_ = false;
}

void Transaction::Mark() { connection_.Execute(std::string("SAVEPOINT ") + kSavepoint); }

void Transaction::UndoToMark() { connection_.Execute(std::string("ROLLBACK TO SAVEPOINT ") + kSavepoint); }

}  // namespace tessel::db
