// Access to the private MariaDB server of the tests (scripts/private-mariadb.sh): a database of
// the test's own with the service's tables, and plain helper sessions to arrange and inspect rows.
#pragma once

#include <mysql.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/connection_parameters.h"

namespace tessel::test {

// ServerEnv - the lines of $TESSEL_TEST_DB_DIR/env.
struct ServerEnv {
    std::string Host;
    int Port = 0;
    std::string Database;
    std::string User;
    std::string Password;
    std::string AdminUser;
    std::string AdminPassword;
    std::string Schema;
    std::string TlsCa;  // the secure server's: the CA that issued its certificate
};

// TestServer - the running test server; throws std::runtime_error when the variable is unset or
// the file cannot be read.
const ServerEnv& TestServer();

// SecureTestServer - the second private server, which admits TCP clients over TLS only
// (private-mariadb.sh start $TESSEL_TEST_DB_DIR-tls secure; ctest starts it with the first).
// Throws like TestServer.
const ServerEnv& SecureTestServer();

// ServerParameters - what configs.ini would give the service for the server's database (no TLS).
config::ConnectionParameters ServerParameters(const ServerEnv& server);

// SqlSession - a helper connection over TCP, independent of the service's connection.
class SqlSession {
public:
    using Row = std::vector<std::optional<std::string>>;

    // Throws std::runtime_error when the connect fails.
    SqlSession(const ServerEnv& server, const std::string& user, const std::string& password,
               const std::string& database);

    // Exec - runs one statement; throws std::runtime_error with the server's message.
    void Exec(const std::string& sql);
    // Query - every row; NULL as nullopt. Throws std::runtime_error.
    std::vector<Row> Query(const std::string& sql);
    // Scalar - the first column of the first row (nullopt for NULL or no row).
    std::optional<std::string> Scalar(const std::string& sql);
    // Quote - value as a quoted literal for this session.
    std::string Quote(std::string_view value);

private:
    struct Closer {
        void operator()(MYSQL* handle) const noexcept { ::mysql_close(handle); }
    };
    std::unique_ptr<MYSQL, Closer> handle_;
};

// TestDatabase - a fresh database named tessel_t<pid>_<n> holding sql/schema.sql's tables,
// dropped when the object goes. Tests running side by side never see each other's rows.
class TestDatabase {
public:
    TestDatabase();
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    const std::string& Name() const { return name_; }
    // Parameters - what configs.ini would give the service for this database.
    config::ConnectionParameters Parameters() const;
    // Sql - a session as the service's user, in this database.
    SqlSession& Sql() { return *sql_; }
    // Admin - a session as the administrative user (for KILL and global settings).
    SqlSession& Admin() { return *admin_; }
    // Account - the parameters of a login of its own (<database>_<suffix>, dropped with the database)
    // that may read and write every table of the database; with settingsReadOnly it may only read
    // configs.
    config::ConnectionParameters Account(const std::string& suffix, bool settingsReadOnly = false);
    // Kill - ends a session of the server, as an operator or a crash would, and returns once the
    // server has let go of what it held (its named locks, its transaction): KILL itself only
    // tells the session's thread to stop.
    void Kill(unsigned long connectionId);

private:
    std::string name_;
    std::unique_ptr<SqlSession> admin_;
    std::unique_ptr<SqlSession> sql_;
    std::vector<std::string> accounts_;
};

}  // namespace tessel::test
