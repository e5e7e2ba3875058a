// The one MariaDB/MySQL connection of the service.
#pragma once

#include <mysql.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "config/connection_parameters.h"

namespace tessel::db {

struct MysqlCloser {
    void operator()(MYSQL* handle) const noexcept { ::mysql_close(handle); }
};
struct ResultFreer {
    void operator()(MYSQL_RES* result) const noexcept { ::mysql_free_result(result); }
};
struct StmtCloser {
    void operator()(MYSQL_STMT* stmt) const noexcept { ::mysql_stmt_close(stmt); }
};
using MysqlHandle = std::unique_ptr<MYSQL, MysqlCloser>;
using ResultHandle = std::unique_ptr<MYSQL_RES, ResultFreer>;
using StmtHandle = std::unique_ptr<MYSQL_STMT, StmtCloser>;

// Named limits of the connection.
inline constexpr unsigned int kConnectTimeoutSeconds = 15;
inline constexpr unsigned int kDefaultPort = 3306;
inline constexpr const char* kDefaultServer = "localhost";
inline constexpr const char* kCharacterSet = "latin1";
// A server that stops answering without closing the connection (a host gone, a dropped path) must
// end the statement with an error rather than hold the cycle, and every stop request, for ever.
// Far above any lock wait of the server, so a slow statement is never cut short.
inline constexpr std::chrono::seconds kNetworkTimeout{300};
// The only login methods the client may use: neither sends the password itself, whatever the
// server (or anyone on the path) asks for. The clear-text and dialog methods would send it as it
// is; the SHA-256 methods would send it encrypted to a key that the server supplies.
inline constexpr const char* kAllowedAuthMethods = "mysql_native_password,client_ed25519";
// How long the server keeps an idle session: the work lock of a host that vanished without closing
// its connection is freed after this, so a standby can take over.
inline constexpr std::chrono::seconds kSessionWaitTimeout{900};
// How long the server lets a session sit idle inside an open transaction (MariaDB; MySQL has no
// such setting). The service's transactions run their statements back to back, so only a frozen or
// cut-off host stays idle in one: its session is ended and its row locks freed (among them the lease
// row its last write confirmed), instead of blocking a standby until kSessionWaitTimeout.
inline constexpr std::chrono::seconds kIdleTransactionTimeout{10};

// Connection - TCP only (also for "localhost"), latin1 announced in the handshake, TLS only when the
// parameters ask for it (and then required), no compression, no automatic reconnection, no LOCAL
// INFILE, only the login methods above, autocommit on, the session's wait_timeout
// kSessionWaitTimeout and (where the server has it) idle_transaction_timeout
// kIdleTransactionTimeout. Not thread-safe: one thread uses it at a time.
class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // SetParameters - the values for the next Connect; takes effect at the next Connect.
    void SetParameters(const config::ConnectionParameters& parameters) { parameters_ = parameters; }
    const config::ConnectionParameters& Parameters() const { return parameters_; }
    // SetNetworkTimeout - the bound of every read and write on the connection, from the next Connect.
    void SetNetworkTimeout(std::chrono::seconds timeout) { networkTimeout_ = timeout; }
    // SetLockWaitTimeout - how long a statement waits for a row lock (innodb_lock_wait_timeout),
    // from the next Connect; nullopt: the server's default.
    void SetLockWaitTimeout(std::optional<std::chrono::seconds> timeout) { lockWaitTimeout_ = timeout; }

    // Connect - opens the connection; does nothing when it is open. Throws DatabaseError.
    void Connect();
    // Disconnect - closes the connection; does nothing when it is closed. Never throws.
    void Disconnect() noexcept;
    bool IsConnected() const { return handle_ != nullptr; }
    // Ping - whether the open session still answers (false when closed or lost). Never throws.
    bool Ping() noexcept;
    // ConnectionId - the server's id of this session (0 when closed).
    unsigned long ConnectionId() const;
    // UsesTls - whether the session runs over TLS (only when the parameters ask for it).
    bool UsesTls() const;

    // Session - changes at every Connect: a prepared statement belongs to the session that
    // prepared it.
    std::uint64_t Session() const { return session_; }
    // Prepare - a server-side prepared statement of sql in this session. Throws DatabaseError.
    StmtHandle Prepare(const std::string& sql);

    // Query - runs sql and fetches its whole result. Throws DatabaseError (also when closed or the
    // statement yields no result set).
    ResultHandle Query(const std::string& sql);
    // Execute - runs sql, discarding any result; returns the affected row count. Throws DatabaseError.
    std::uint64_t Execute(const std::string& sql);
    // MatchedRows - the rows that the last UPDATE on this session matched, whether or not it changed
    // them (the server's "Rows matched" note); nullopt when the server gave no such note.
    std::optional<std::uint64_t> MatchedRows() const;

private:
    MYSQL& Handle();
    [[noreturn]] void ThrowLastError();

    config::ConnectionParameters parameters_;
    std::chrono::seconds networkTimeout_ = kNetworkTimeout;
    std::optional<std::chrono::seconds> lockWaitTimeout_;
    MysqlHandle handle_;
    std::uint64_t session_ = 0;
};

}  // namespace tessel::db
