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

// ReleaseInstanceLock - frees the lock of the session's current database if the session holds it.
// The server frees it too when a closed session's thread notices the close, but only some time
// after the client has gone: a release first lets a standby find it free at once. Throws
// DatabaseError.
void ReleaseInstanceLock(Connection& cn);

}  // namespace tessel::db
