#include "db/connection.h"

#include <errmsg.h>

#include <cstdio>

#include "db/database_error.h"
#include "db/tls_guard.h"
#include "util/ca_path.h"
#include "util/record_text.h"

namespace tessel::db {
namespace {

void SetOption(MYSQL* handle, mysql_option option, const void* value) {
    if (::mysql_optionsv(handle, option, value) != 0) {
        throw DatabaseError(::mysql_errno(handle), ::mysql_error(handle));
    }
}

// SetTlsOptions - TLS only when configured, and then required: a server without it, or whose
// certificate fails a check asked for, is not reached at all. The library alone would refuse a
// greeting without TLS only when it also verifies the certificate; the guard refuses it in any case.
void SetTlsOptions(MYSQL* handle, const config::ConnectionParameters& parameters) {
    my_bool enforce = parameters.Ssl ? 1 : 0;
    my_bool verify = parameters.Ssl && parameters.SslVerify ? 1 : 0;
    SetOption(handle, MYSQL_OPT_SSL_ENFORCE, &enforce);
    SetOption(handle, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &verify);
    if (!parameters.Ssl) {
        SetOption(handle, MARIADB_OPT_RESTRICTED_AUTH, kAllowedAuthMethods);
        return;
    }
    if (!parameters.SslCa.empty()) {
        // The client library opens the file itself, and would block on a FIFO.
        if (std::string problem = CaPathProblem(parameters.SslCa); !problem.empty()) {
            throw DatabaseError(0, "SSLCA (" + RecordText(parameters.SslCa) + ") cannot be used: " + problem);
        }
        SetOption(handle, MYSQL_OPT_SSL_CA, parameters.SslCa.c_str());
    }
    ArmTlsGuard(handle);
    const std::string methods = std::string(kTlsGuardMethod) + "," + kAllowedAuthMethods;
    SetOption(handle, MYSQL_DEFAULT_AUTH, kTlsGuardMethod);
    SetOption(handle, MARIADB_OPT_RESTRICTED_AUTH, methods.c_str());
}

// The server's error for a variable it does not have (MySQL has no idle_transaction_timeout).
constexpr unsigned int kUnknownSystemVariable = 1193;

// SetSessionVariable - SET SESSION name = value; an error other than tolerated is thrown.
void SetSessionVariable(MYSQL& handle, const char* name, std::chrono::seconds value, unsigned int tolerated = 0) {
    const std::string sql = std::string("SET SESSION ") + name + " = " + std::to_string(value.count());
    if (::mysql_real_query(&handle, sql.data(), sql.size()) == 0) return;
    if (tolerated != 0 && ::mysql_errno(&handle) == tolerated) return;
    throw DatabaseError(::mysql_errno(&handle), ::mysql_error(&handle));
}

}  // namespace

void Connection::Connect() {
    if (handle_) return;
    MysqlHandle handle(::mysql_init(nullptr));
    if (!handle) throw DatabaseError(0, "Cannot initialise the database client");

    unsigned int timeout = kConnectTimeoutSeconds;
    // A host named "localhost" would otherwise be reached over the Unix socket.
    unsigned int protocol = MYSQL_PROTOCOL_TCP;
    my_bool off = 0;
    unsigned int noLocalInfile = 0;
    unsigned int networkTimeout = static_cast<unsigned int>(networkTimeout_.count());
    SetOption(handle.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    SetOption(handle.get(), MYSQL_OPT_PROTOCOL, &protocol);
    SetOption(handle.get(), MYSQL_SET_CHARSET_NAME, kCharacterSet);
    SetTlsOptions(handle.get(), parameters_);
    SetOption(handle.get(), MYSQL_OPT_RECONNECT, &off);
    SetOption(handle.get(), MYSQL_OPT_LOCAL_INFILE, &noLocalInfile);
    SetOption(handle.get(), MYSQL_OPT_READ_TIMEOUT, &networkTimeout);
    SetOption(handle.get(), MYSQL_OPT_WRITE_TIMEOUT, &networkTimeout);

    std::string server = parameters_.Server.empty() ? std::string(kDefaultServer)
                                                           : parameters_.Server;
    unsigned int port = parameters_.Port == 0 ? kDefaultPort
                                              : static_cast<unsigned int>(parameters_.Port);
    if (::mysql_real_connect(handle.get(), server.c_str(), parameters_.UserName.c_str(),
                             parameters_.Password.c_str(), parameters_.Database.c_str(), port,
                             nullptr, 0) == nullptr) {
        if (parameters_.Ssl && TlsGuardRefused()) {
            throw DatabaseError(CR_SSL_CONNECTION_ERROR,
                                "The database server does not offer TLS (SSL=1): closed before the login");
        }
        throw DatabaseError(::mysql_errno(handle.get()), ::mysql_error(handle.get()));
    }
    // Every command takes effect on its own, whatever the server's default for new sessions.
    if (::mysql_autocommit(handle.get(), 1) != 0) {
        throw DatabaseError(::mysql_errno(handle.get()), ::mysql_error(handle.get()));
    }
    SetSessionVariable(*handle, "wait_timeout", kSessionWaitTimeout);
    SetSessionVariable(*handle, "idle_transaction_timeout", kIdleTransactionTimeout, kUnknownSystemVariable);
    if (lockWaitTimeout_) SetSessionVariable(*handle, "innodb_lock_wait_timeout", *lockWaitTimeout_);
    handle_ = std::move(handle);
    ++session_;
}

void Connection::Disconnect() noexcept { handle_.reset(); }

bool Connection::Ping() noexcept { return handle_ && ::mysql_ping(handle_.get()) == 0; }

unsigned long Connection::ConnectionId() const {
    return handle_ ? ::mysql_thread_id(handle_.get()) : 0;
}

std::optional<std::uint64_t> Connection::MatchedRows() const {
    const char* info = handle_ ? ::mysql_info(handle_.get()) : nullptr;
    if (info == nullptr) return std::nullopt;
    unsigned long long matched = 0;
    if (std::sscanf(info, "Rows matched: %llu", &matched) != 1) return std::nullopt;
    return matched;
}

bool Connection::UsesTls() const {
    return handle_ && ::mysql_get_ssl_cipher(handle_.get()) != nullptr;
}

MYSQL& Connection::Handle() {
    if (!handle_) throw DatabaseError(0, "Not connected to the database");
    return *handle_;
}

void Connection::ThrowLastError() {
    throw DatabaseError(::mysql_errno(handle_.get()), ::mysql_error(handle_.get()));
}

ResultHandle Connection::Query(const std::string& sql) {
    MYSQL& handle = Handle();
    if (::mysql_real_query(&handle, sql.data(), sql.size()) != 0) ThrowLastError();
    ResultHandle result(::mysql_store_result(&handle));
    if (!result) {
        if (::mysql_errno(&handle) != 0) ThrowLastError();
        throw DatabaseError(0, "The statement returned no result set");
    }
    return result;
}

StmtHandle Connection::Prepare(const std::string& sql) {
    MYSQL& handle = Handle();
    StmtHandle stmt(::mysql_stmt_init(&handle));
    if (!stmt) ThrowLastError();
    if (::mysql_stmt_prepare(stmt.get(), sql.data(), sql.size()) != 0) {
        throw DatabaseError(::mysql_stmt_errno(stmt.get()), ::mysql_stmt_error(stmt.get()));
    }
    return stmt;
}

std::uint64_t Connection::Execute(const std::string& sql) {
    MYSQL& handle = Handle();
    if (::mysql_real_query(&handle, sql.data(), sql.size()) != 0) ThrowLastError();
    // A command that happens to return rows: read them off the wire so the session stays usable.
    ResultHandle result(::mysql_store_result(&handle));
    if (!result && ::mysql_errno(&handle) != 0) ThrowLastError();
    return ::mysql_affected_rows(&handle);
}

}  // namespace tessel::db
