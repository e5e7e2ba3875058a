// A transaction on the service's connection: begun on construction, undone unless committed.
#pragma once

#include "db/connection.h"

namespace tessel::db {

class Transaction {
public:
    // Begins a transaction (START TRANSACTION). Throws DatabaseError.
    explicit Transaction(Connection& connection);
    // Rolls back when not committed; a failed rollback is ignored (the server undoes an open
    // transaction when its connection ends). Never throws.
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Commit - makes every change of the transaction take effect. Throws DatabaseError.
    void Commit();
    // Mark - sets the transaction's one savepoint here. Throws DatabaseError.
    void Mark();
    // UndoToMark - undoes the changes made after Mark; the row locks they took stay held until the
    // end of the transaction. Throws DatabaseError.
    void UndoToMark();

private:
    Connection& connection_;
    bool open_ = true;
};

}  // namespace tessel::db
