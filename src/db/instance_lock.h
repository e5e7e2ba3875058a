// The work lock: one named lock per database, held by the session of the instance that works on it.
#pragma once

#include <string>

#include "db/connection.h"

namespace tessel::db {

// InstanceLockName - "tesselcomsvc.<database>", the lock that every instance on database competes for.
std::string InstanceLockName(const std::string& database);

// AcquireInstanceLock - true when the session holds the lock of its current database: it already
// did, or took it now without waiting. False when another session holds it. The server frees the
// lock when the session ends (a clean stop, a killed process, or the session's wait_timeout after
// a host vanished). Throws DatabaseError.
bool AcquireInstanceLock(Connection& cn);

}  // namespace tessel::db
