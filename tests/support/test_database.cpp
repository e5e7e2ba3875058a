#include "support/test_database.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tessel::test {
namespace {

std::string ServerDir() {
    const char* dir = std::getenv("TESSEL_TEST_DB_DIR");
    if (dir == nullptr || *dir == '\0') {
        throw std::runtime_error(
            "TESSEL_TEST_DB_DIR is not set: run through ctest, or start "
            "scripts/private-mariadb.sh start DIR and export TESSEL_TEST_DB_DIR=DIR");
    }
    return dir;
}

ServerEnv ReadServerEnv(const std::string& dir) {
    std::ifstream in(dir + "/env");
    if (!in) throw std::runtime_error("cannot read " + dir + "/env");
    ServerEnv env;
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "HOST") env.Host = value;
        else if (key == "PORT") env.Port = std::stoi(value);
        else if (key == "DATABASE") env.Database = value;
        else if (key == "USER") env.User = value;
        else if (key == "PASSWORD") env.Password = value;
        else if (key == "ADMIN_USER") env.AdminUser = value;
        else if (key == "ADMIN_PASSWORD") env.AdminPassword = value;
        else if (key == "SCHEMA") env.Schema = value;
        else if (key == "TLS_CA") env.TlsCa = value;
    }
    if (env.Schema.empty()) env.Schema = std::string(TESSEL_SOURCE_DIR) + "/sql/schema.sql";
    return env;
}

// SchemaStatements - the statements of the schema file, comments dropped.
std::vector<std::string> SchemaStatements(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::string text, line;
    while (std::getline(in, line)) {
        if (line.rfind("--", 0) == 0) continue;
        text += line + "\n";
    }
    std::vector<std::string> statements;
    std::stringstream all(text);
    std::string statement;
    while (std::getline(all, statement, ';')) {
        if (statement.find_first_not_of(" \r\n\t") != std::string::npos) statements.push_back(statement);
    }
    return statements;
}

}  // namespace

const ServerEnv& TestServer() {
    static const ServerEnv env = ReadServerEnv(ServerDir());
    return env;
}

const ServerEnv& SecureTestServer() {
    static const ServerEnv env = ReadServerEnv(ServerDir() + "-tls");
    return env;
}

SqlSession::SqlSession(const ServerEnv& server, const std::string& user, const std::string& password,
                       const std::string& database)
    : handle_(::mysql_init(nullptr)) {
    unsigned int protocol = MYSQL_PROTOCOL_TCP;
    ::mysql_optionsv(handle_.get(), MYSQL_OPT_PROTOCOL, &protocol);
    ::mysql_optionsv(handle_.get(), MYSQL_SET_CHARSET_NAME, "latin1");
    if (::mysql_real_connect(handle_.get(), server.Host.c_str(), user.c_str(), password.c_str(),
                             database.empty() ? nullptr : database.c_str(),
                             static_cast<unsigned int>(server.Port), nullptr, 0) == nullptr) {
        throw std::runtime_error("helper connect failed: " + std::string(::mysql_error(handle_.get())));
    }
}

void SqlSession::Exec(const std::string& sql) {
    if (::mysql_real_query(handle_.get(), sql.data(), sql.size()) != 0) {
        throw std::runtime_error(std::string(::mysql_error(handle_.get())) + " in: " + sql);
    }
    MYSQL_RES* result = ::mysql_store_result(handle_.get());
    if (result != nullptr) ::mysql_free_result(result);
}

std::vector<SqlSession::Row> SqlSession::Query(const std::string& sql) {
    if (::mysql_real_query(handle_.get(), sql.data(), sql.size()) != 0) {
        throw std::runtime_error(std::string(::mysql_error(handle_.get())) + " in: " + sql);
    }
    std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(::mysql_store_result(handle_.get()),
                                                            ::mysql_free_result);
    std::vector<Row> rows;
    if (!result) return rows;
    unsigned int count = ::mysql_num_fields(result.get());
    while (MYSQL_ROW row = ::mysql_fetch_row(result.get())) {
        unsigned long* lengths = ::mysql_fetch_lengths(result.get());
        Row values;
        for (unsigned int c = 0; c < count; ++c) {
            if (row[c] == nullptr) values.emplace_back();
            else values.emplace_back(std::string(row[c], lengths[c]));
        }
        rows.push_back(std::move(values));
    }
    return rows;
}

std::optional<std::string> SqlSession::Scalar(const std::string& sql) {
    auto rows = Query(sql);
    if (rows.empty() || rows[0].empty()) return std::nullopt;
    return rows[0][0];
}

std::string SqlSession::Quote(std::string_view value) {
    std::string out(value.size() * 2 + 3, '\0');
    unsigned long n = ::mysql_real_escape_string(handle_.get(), out.data() + 1, value.data(),
                                                 value.size());
    out.resize(n + 1);
    out[0] = '\'';
    out += '\'';
    return out;
}

TestDatabase::TestDatabase() {
    static std::atomic<int> counter{0};
    const ServerEnv& server = TestServer();
    name_ = "tessel_t" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    admin_ = std::make_unique<SqlSession>(server, server.AdminUser, server.AdminPassword, "");
    admin_->Exec("DROP DATABASE IF EXISTS " + name_);
    admin_->Exec("CREATE DATABASE " + name_ + " CHARACTER SET latin1");
    sql_ = std::make_unique<SqlSession>(server, server.User, server.Password, name_);
    for (const std::string& statement : SchemaStatements(server.Schema)) sql_->Exec(statement);
}

TestDatabase::~TestDatabase() {
    sql_.reset();
    try {
        for (const std::string& account : accounts_) admin_->Exec("DROP USER IF EXISTS '" + account + "'@'%'");
        admin_->Exec("DROP DATABASE IF EXISTS " + name_);
    } catch (...) {
        // A database left behind goes with the server's directory.
    }
}

config::ConnectionParameters ServerParameters(const ServerEnv& server) {
    config::ConnectionParameters parameters;
    parameters.Server = server.Host;
    parameters.Port = server.Port;
    parameters.Database = server.Database;
    parameters.UserName = server.User;
    parameters.Password = server.Password;
    return parameters;
}

config::ConnectionParameters TestDatabase::Parameters() const {
    config::ConnectionParameters parameters = ServerParameters(TestServer());
    parameters.Database = name_;
    return parameters;
}

config::ConnectionParameters TestDatabase::Account(const std::string& suffix, bool settingsReadOnly) {
    config::ConnectionParameters parameters = Parameters();
    parameters.UserName = name_ + "_" + suffix;
    parameters.Password = suffix + "-password";
    admin_->Exec("CREATE OR REPLACE USER '" + parameters.UserName + "'@'%' IDENTIFIED BY '" + parameters.Password + "'");
    accounts_.push_back(parameters.UserName);
    if (!settingsReadOnly) {
        admin_->Exec("GRANT ALL PRIVILEGES ON `" + name_ + "`.* TO '" + parameters.UserName + "'@'%'");
        return parameters;
    }
    // Privileges of the database as a whole would cover configs too: each table is granted alone.
    for (const char* table : {"alarmes", "mail_spooler", "objectos_id", "ficheiros"}) {
        admin_->Exec(std::string("GRANT SELECT, INSERT, UPDATE, DELETE ON `") + name_ + "`." + table + " TO '" +
                     parameters.UserName + "'@'%'");
    }
    admin_->Exec("GRANT SELECT ON `" + name_ + "`.configs TO '" + parameters.UserName + "'@'%'");
    return parameters;
}

void TestDatabase::Kill(unsigned long connectionId) {
    const std::string id = std::to_string(connectionId);
    admin_->Exec("KILL CONNECTION " + id);
    // The thread leaves the list after its clean-up has freed the session's locks.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (admin_->Scalar("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id) != "0") {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the killed session " + id + " did not end");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace tessel::test
