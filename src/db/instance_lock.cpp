#include "db/instance_lock.h"

#include "db/database_error.h"

namespace tessel::db {
namespace {

// The name is formed by the server from the session's own database: no value enters the text.
constexpr const char* kLockNameSql = "CONCAT('tesselcomsvc.', DATABASE())";

}  // namespace

std::string InstanceLockName(const std::string& database) { return "tesselcomsvc." + database; }

bool AcquireInstanceLock(Connection& cn) {
    // GET_LOCK again on a lock the session holds would nest it; asking first keeps one level.
    const std::string name = kLockNameSql;
    ResultHandle result = cn.Query("SELECT IF(IS_USED_LOCK(" + name + ") <=> CONNECTION_ID(), 1, GET_LOCK(" +
                                   name + ", 0))");
    MYSQL_ROW row = ::mysql_fetch_row(result.get());
    if (row == nullptr) throw DatabaseError(0, "The work lock query returned no row");
    // NULL: the server could not take the lock (no database selected); the cycle must not work.
    return row[0] != nullptr && std::string(row[0]) == "1";
}

void ReleaseInstanceLock(Connection& cn) {
    // RELEASE_LOCK of a lock held elsewhere does nothing: the standby's session may run it too.
    cn.Execute(std::string("DO RELEASE_LOCK(") + kLockNameSql + ")");
}

}  // namespace tessel::db
