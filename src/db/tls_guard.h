// Refusing a database server that does not offer TLS, before the client library logs in.
//
// With TLS asked for but no certificate check, the client library (Connector/C 3.3) quietly goes on
// in clear text when the server's greeting lacks the TLS capability: anyone on the path who clears
// that bit reads the login and every statement. The library refuses only when it also verifies the
// certificate. The guard is a login method of the client's own that the library runs first, after
// the greeting and before it sends anything: it stops the connection when the greeting offers no
// TLS; otherwise it lets the login go on over TLS with the method the server asks for.
#pragma once

#include <mysql.h>

namespace tessel::db {

// kTlsGuardMethod - the guard's name, for the login method options (MYSQL_DEFAULT_AUTH and the
// list of allowed methods).
inline constexpr const char* kTlsGuardMethod = "tessel_tls_guard";

// ArmTlsGuard - makes the guard known to the client library (once per process) and clears the
// refusal mark of this thread. Throws DatabaseError when the library does not take it.
void ArmTlsGuard(MYSQL* handle);

// TlsGuardRefused - whether the guard stopped the last connection attempt of this thread.
bool TlsGuardRefused() noexcept;

}  // namespace tessel::db
