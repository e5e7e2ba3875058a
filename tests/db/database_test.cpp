#include "db/database.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "db/database_error.h"
#include "support/loopback.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace tessel::db {
namespace {

using namespace std::string_literals;
using test::SqlSession;

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        db.SetParameters(tdb.Parameters());
        db.Connect();
    }
    SqlSession& sql() { return tdb.Sql(); }

    test::TestDatabase tdb;
    Database db;
};

// Every byte but those that cannot be stored in latin1 VARCHAR comparisons matters here: the
// hostile ones are the escaped seven, and bytes above 127 must not be converted.
const std::string kHostile = "q'uo\"te\\back\0nul\r\ncrlf\x1aZ \xe9\xff\x80 :assunto"s;

std::string AllBytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    return bytes;
}

TEST_F(DatabaseTest, NewMailStoresHostileValuesUnchanged) {
    Statement& q = db.NewMail();
    q.SetString("remetente", kHostile);
    q.SetString("destinatario", "a@x;" + kHostile);
    q.SetString("assunto", kHostile + "'");
    q.SetString("texto", AllBytes());
    q.SetString("anexos", kHostile);
    EXPECT_EQ(q.Execute(), 1u);

    auto rows = sql().Query("SELECT Remetente, Destinatario, Assunto, Texto, Anexos FROM mail_spooler");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], kHostile);
    EXPECT_EQ(rows[0][1], "a@x;" + kHostile);
    EXPECT_EQ(rows[0][2], kHostile + "'");
    EXPECT_EQ(rows[0][3], AllBytes());
    EXPECT_EQ(rows[0][4], kHostile);

    // And they read back through the service's own query the same way.
    Statement& mail = db.GetMail();
    mail.SetInteger("after", 0);
    mail.Open();
    EXPECT_EQ(mail.ReadText("Remetente"), kHostile);
    EXPECT_EQ(mail.ReadText("texto"), AllBytes());
    mail.Close();
}

TEST_F(DatabaseTest, EmptyTextIsNullAndEmptyStringIsEmpty) {
    Statement& q = db.NewMail();
    for (const char* name : {"remetente", "destinatario", "assunto", "texto", "anexos"}) {
        q.SetString(name, "");
    }
    q.Execute();
    auto rows = sql().Query("SELECT Remetente, Destinatario, Assunto, Texto, Anexos FROM mail_spooler");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "");
    EXPECT_EQ(rows[0][1], "");
    EXPECT_EQ(rows[0][2], "");
    EXPECT_EQ(rows[0][3], std::nullopt);
    EXPECT_EQ(rows[0][4], std::nullopt);

    Statement& mail = db.GetMail();
    mail.SetInteger("after", 0);
    mail.Open();
    EXPECT_TRUE(mail.IsNull("Anexos"));
    EXPECT_EQ(mail.ReadText("Anexos"), "");
    EXPECT_EQ(mail.ReadText("Texto"), "");
    mail.Close();
}

TEST_F(DatabaseTest, HostileValuesSurviveWithoutBackslashEscapesToo) {
    // A server or session in NO_BACKSLASH_ESCAPES mode reads a backslash as an ordinary byte.
    db.Cn().Execute("SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')");
    Statement& q = db.NewMail();
    q.SetString("remetente", kHostile);
    q.SetString("destinatario", "\\'; DELETE FROM configs; -- ");
    q.SetString("assunto", "");
    q.SetString("texto", AllBytes());
    q.SetString("anexos", "");
    q.Execute();
    auto rows = sql().Query("SELECT Remetente, Destinatario, Texto FROM mail_spooler");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], kHostile);
    EXPECT_EQ(rows[0][1], "\\'; DELETE FROM configs; -- ");
    EXPECT_EQ(rows[0][2], AllBytes());
}

TEST_F(DatabaseTest, ConfigsReadsTheFirstRowOrNothing) {
    sql().Exec("INSERT INTO configs VALUES ('email.user', 'first'), ('email.user', 'second'), "
               "('it''s', 'quoted key'), ('email.pass', NULL)");
    Statement& q = db.Configs();
    struct Case {
        std::string key, value;
    } cases[] = {{"email.user", "first"}, {"it's", "quoted key"}, {"email.pass", ""}, {"missing", ""},
                 {"EMAIL.USER'", ""}};
    for (const Case& c : cases) {
        q.SetString("prop", c.key);
        q.Open();
        EXPECT_EQ(q.ReadText("Valor"), c.value) << c.key;
        q.Close();
    }
}

TEST_F(DatabaseTest, LookupsMatchHostileKeysExactly) {
    // Each value must reach the server as one literal: matched whole, never as SQL.
    const std::string keys[] = {kHostile, "' OR '1'='1", "\\", "x\0y"s, "\xe9t\xe9"};
    int n = 0;
    for (const std::string& key : keys) {
        std::string nome = "file" + std::to_string(++n);
        sql().Exec("INSERT INTO objectos_id VALUES (" + sql().Quote(key) + ", " + sql().Quote(nome) + ")");
        sql().Exec("INSERT INTO ficheiros VALUES (" + sql().Quote(key) + ", 1, " + sql().Quote(nome) + ")");
        sql().Exec("INSERT INTO configs VALUES (" + sql().Quote(key) + ", " + sql().Quote(nome) + ")");
    }
    n = 0;
    for (const std::string& key : keys) {
        std::string nome = "file" + std::to_string(++n);
        db.GetNome().SetString("uid", key);
        db.GetNome().Open();
        EXPECT_EQ(db.GetNome().ReadText("Nome"), nome);
        db.GetNome().Next();
        EXPECT_TRUE(db.GetNome().AtEnd()) << "more than one row for " << key;
        db.GetNome().Close();
        db.Ficheiros().SetString("uid", key);
        db.Ficheiros().SetInteger("id", 1);
        db.Ficheiros().Open();
        EXPECT_EQ(db.Ficheiros().ReadText("package"), nome);
        db.Ficheiros().Close();
        db.Configs().SetString("prop", key);
        db.Configs().Open();
        EXPECT_EQ(db.Configs().ReadText("Valor"), nome);
        db.Configs().Close();
    }
}

TEST_F(DatabaseTest, AlarmesMatchesTheDayHourAndMinute) {
    sql().Exec("INSERT INTO alarmes (ID, Data, Hora, Alarme, Email, SMS, EmailDest) VALUES "
               "(1, '2026-12-10', '23:59:59', NULL, 1, 0, 'due'), "
               "(2, '2026-12-11', '23:59:00', 1, 1, 0, 'tomorrow'), "
               "(3, '2026-12-10', '23:58:59', 1, 1, 0, 'a minute early'), "
               "(4, '2026-12-10', '23:59:00', 1, 0, 0, 'nothing to send'), "
               "(5, '2026-12-10', '23:59:01', 1, 0, 1, 'sms only')");
    Statement& q = db.Alarmes();
    using namespace std::chrono;
    q.SetDate("data", year(2026) / 12 / 10);
    q.SetInteger("hora", 23);
    q.SetInteger("minuto", 59);
    q.Open();
    std::vector<std::pair<int, int>> idAndAlarme;  // NULL reads as 0
    for (; !q.AtEnd(); q.Next()) idAndAlarme.emplace_back(q.ReadInteger("ID"), q.ReadInteger("Alarme"));
    std::sort(idAndAlarme.begin(), idAndAlarme.end());
    EXPECT_EQ(idAndAlarme, (std::vector<std::pair<int, int>>{{1, 0}, {5, 1}}));
    q.Close();
}

TEST_F(DatabaseTest, NavigationOverTheFetchedResult) {
    sql().Exec("INSERT INTO mail_spooler (ID, Remetente) VALUES (3, 'three'), (5, 'five'), (9, 'nine')");
    Statement& q = db.GetMail();
    q.SetInteger("after", 0);
    q.Open();
    EXPECT_FALSE(q.Empty());
    EXPECT_FALSE(q.AtEnd());
    EXPECT_EQ(q.ReadInteger("ID"), 3);
    q.Next();
    q.Next();
    EXPECT_FALSE(q.AtEnd());
    EXPECT_EQ(q.ReadText("Remetente"), "nine");
    q.Next();
    EXPECT_TRUE(q.AtEnd());
    q.First();
    EXPECT_FALSE(q.AtEnd());
    EXPECT_EQ(q.ReadInteger("ID"), 3);
    q.Last();
    EXPECT_TRUE(q.AtEnd());
    EXPECT_EQ(q.ReadInteger("ID"), 9);
    q.Close();

    sql().Exec("DELETE FROM mail_spooler");
    q.Open();
    EXPECT_TRUE(q.Empty());
    EXPECT_TRUE(q.AtEnd());
    EXPECT_EQ(q.ReadText("Remetente"), "");
    EXPECT_EQ(q.ReadInteger("ID"), 0);
    q.Close();
}

TEST_F(DatabaseTest, OpenResultsStayFixedWhileCommandsRun) {
    sql().Exec("INSERT INTO mail_spooler (ID, Remetente) VALUES (3, 'three'), (5, 'five')");
    sql().Exec("INSERT INTO configs VALUES ('k', 'v')");
    Statement& mail = db.GetMail();
    mail.SetInteger("after", 0);
    mail.Open();
    db.DeleteMail().SetInteger("id", 5);
    EXPECT_EQ(db.DeleteMail().Execute(), 1u);
    db.NewMail().SetString("remetente", "late");
    for (const char* name : {"destinatario", "assunto", "texto", "anexos"}) db.NewMail().SetString(name, "");
    db.NewMail().Execute();
    db.Configs().SetString("prop", "k");
    db.Configs().Open();
    EXPECT_EQ(db.Configs().ReadText("Valor"), "v");

    std::vector<std::string> seen;
    for (; !mail.AtEnd(); mail.Next()) seen.push_back(mail.ReadText("Remetente"));
    EXPECT_EQ(seen, (std::vector<std::string>{"three", "five"}));
    db.Configs().Close();
    mail.Close();
}

TEST_F(DatabaseTest, DeleteCommandsRemoveOneRowEach) {
    sql().Exec("INSERT INTO mail_spooler (ID) VALUES (3), (5), (9)");
    sql().Exec("INSERT INTO alarmes (ID, Email, SMS) VALUES (1, 1, 1), (2, 1, 1), (3, 1, 1)");
    db.DeleteMail().SetInteger("id", 5);
    db.DeleteMail().Execute();
    db.DeleteAlarme().SetInteger("id", 1);
    db.DeleteAlarme().Execute();
    db.UpdateAlarme().SetInteger("id", 2);
    db.UpdateAlarme().Execute();
    EXPECT_EQ(sql().Scalar("SELECT GROUP_CONCAT(ID ORDER BY ID) FROM mail_spooler"), "3,9");
    EXPECT_EQ(sql().Scalar("SELECT GROUP_CONCAT(CONCAT(ID, ':', Email, SMS) ORDER BY ID) FROM alarmes"),
              "2:00,3:11");
}

TEST_F(DatabaseTest, BlobChunksAppendToAFile) {
    sql().Exec("INSERT INTO objectos_id VALUES ('u1', 'report.pdf')");
    sql().Exec("INSERT INTO ficheiros VALUES ('u1', 1, X'00FF0D0A'), ('u1', 1, NULL), ('u1', 1, ''), "
               "('u1', 1, 'end')");
    db.GetNome().SetString("uid", "u1");
    db.GetNome().Open();
    EXPECT_EQ(db.GetNome().ReadText("Nome"), "report.pdf");
    db.GetNome().Close();

    test::TempDir dir;
    std::string path = dir.File("out");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    Statement& q = db.Ficheiros();
    q.SetString("uid", "u1");
    q.SetInteger("id", 1);
    q.Open();
    for (; !q.AtEnd(); q.Next()) q.AppendToFile("package", fd);
    q.Close();
    ::close(fd);
    EXPECT_EQ(test::ReadFile(path), "\0\xff\r\nend"s);
}

TEST_F(DatabaseTest, OpenFailsOnAMissingFieldOrAColumnOfAnotherKind) {
    struct Case {
        const char* alter;
        Statement& (Database::*query)();
        const char* message;
    } cases[] = {
        {"ALTER TABLE configs MODIFY Valor TEXT", &Database::Configs,
         "q_Configs: field 'Valor' is a TEXT column where a string is declared"},
        {"ALTER TABLE ficheiros MODIFY package LONGTEXT", &Database::Ficheiros,
         "q_ficheiros: field 'package' is a TEXT column where a blob is declared"},
        {"ALTER TABLE mail_spooler MODIFY Texto VARCHAR(255)", &Database::GetMail,
         "q_GetMail: field 'Texto' is a VARCHAR column where a text is declared"},
        {"ALTER TABLE mail_spooler MODIFY ID BIGINT", &Database::GetMail,
         "q_GetMail: field 'ID' is a BIGINT column where an integer is declared"},
    };
    for (const Case& c : cases) {
        sql().Exec(c.alter);
        Statement& q = (db.*c.query)();
        try {
            q.Open();
            ADD_FAILURE() << "no error after " << c.alter;
        } catch (const StatementError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_FALSE(q.IsOpen());
    }
    // The queue is read by column name: a missing column fails the open with the server's error.
    sql().Exec("ALTER TABLE mail_spooler DROP COLUMN Anexos");
    EXPECT_THROW(db.GetMail().Open(), DatabaseError);
    EXPECT_FALSE(db.GetMail().IsOpen());
}

TEST_F(DatabaseTest, AColumnTheServiceDoesNotDeclareIsIgnored) {
    sql().Exec("ALTER TABLE mail_spooler ADD Extra DATETIME NULL");
    sql().Exec("INSERT INTO mail_spooler (ID, Remetente) VALUES (1, 'x')");
    db.GetMail().SetInteger("after", 0);
    db.GetMail().Open();
    EXPECT_EQ(db.GetMail().ReadText("Remetente"), "x");
    EXPECT_THROW(db.GetMail().ReadText("Extra"), StatementError);
    db.GetMail().Close();
}

TEST_F(DatabaseTest, ConnectionIsLatin1PlainTcpWithAutocommit) {
    // The test server offers TLS: the connection must not take it up.
    EXPECT_FALSE(db.Cn().UsesTls());
    ResultHandle result = db.Cn().Query(
        "SELECT @@character_set_client, @@character_set_results, @@autocommit, "
        "(SELECT HOST FROM information_schema.PROCESSLIST WHERE ID = CONNECTION_ID()), "
        "(SELECT VARIABLE_VALUE FROM information_schema.SESSION_STATUS "
        "WHERE VARIABLE_NAME = 'Ssl_cipher'), @@have_ssl");
    MYSQL_ROW row = ::mysql_fetch_row(result.get());
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "latin1");
    EXPECT_STREQ(row[1], "latin1");
    EXPECT_STREQ(row[2], "1");
    EXPECT_EQ(std::string(row[3]).rfind("127.0.0.1:", 0), 0u) << row[3];  // TCP, not the socket
    EXPECT_STREQ(row[4], "");
    EXPECT_STREQ(row[5], "YES");
}

TEST_F(DatabaseTest, AServerOfNoClusterIsNoCertifyingCluster) {
    EXPECT_EQ(sql().Scalar("SELECT @@GLOBAL.wsrep_on"), "0");  // there to be read, and off
    EXPECT_FALSE(db.OnCertifyingCluster());
}

TEST_F(DatabaseTest, EmptyServerMeansLocalhostOverTcp) {
    db.Disconnect();
    auto parameters = tdb.Parameters();
    parameters.Server = "";
    db.SetParameters(parameters);
    db.Connect();  // the test server has no socket at the default place: this must be TCP
    EXPECT_TRUE(db.IsConnected());
    db.Connect();  // already open: nothing happens
    EXPECT_TRUE(db.IsConnected());
    db.Disconnect();
    db.Disconnect();
    EXPECT_FALSE(db.IsConnected());
}

TEST_F(DatabaseTest, ConnectFailuresCarryTheServersNumberAndText) {
    db.Disconnect();
    auto parameters = tdb.Parameters();
    parameters.Password = "wrong";
    db.SetParameters(parameters);
    try {
        db.Connect();
        FAIL();
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.Number(), 1045u);
        EXPECT_NE(std::string(e.what()).find("Access denied"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(db.IsConnected());
}

TEST_F(DatabaseTest, AKilledSessionFailsTheNextStatement) {
    tdb.Kill(db.ConnectionId());
    db.GetMail();
    try {
        db.GetMail().Open();
        FAIL();
    } catch (const DatabaseError& e) {
        EXPECT_NE(e.Number(), 0u);
        EXPECT_STRNE(e.what(), "");
    }
    EXPECT_FALSE(db.GetMail().IsOpen());
}

// A listener on a loopback port that only counts the connections it receives.
class CountingListener {
public:
    explicit CountingListener(int port) : fd_(tessel::test::BindLoopback(port, 4)), bound_(fd_ >= 0) {}
    ~CountingListener() { ::close(fd_); }
    bool Bound() const { return bound_; }
    // AcceptOne - takes one waiting connection and closes it at once; false when none waits.
    bool AcceptOne() {
        int client = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) return false;
        ::close(client);
        return true;
    }

private:
    int fd_;
    bool bound_ = false;
};

TEST_F(DatabaseTest, PortZeroMeansTheStandardPort) {
    CountingListener listener(3306);
    if (!listener.Bound()) GTEST_SKIP() << "127.0.0.1:3306 is in use on this machine";
    db.Disconnect();
    auto parameters = tdb.Parameters();
    parameters.Port = 0;
    db.SetParameters(parameters);
    // The listener never answers the handshake; closing the accepted socket ends the attempt.
    bool accepted = false;
    std::thread closer([&] {
        for (int i = 0; i < 3000 && !accepted; ++i) {
            accepted = listener.AcceptOne();
            if (!accepted) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    EXPECT_THROW(db.Connect(), DatabaseError);
    closer.join();
    EXPECT_TRUE(accepted);
}

}  // namespace
}  // namespace tessel::db

namespace tessel::db {
namespace {

// A server can give a session a multi-byte character set whatever the client announced (here
// init_connect, for one account): in gbk, 0xBF followed by a backslash is one character, so a
// value escaped into the SQL text could end its own literal and run SQL of its choosing.
class MultiByteSessionTest : public DatabaseTest {
protected:
    void SetUp() override {
        auto& admin = tdb.Admin();
        admin.Exec("CREATE USER IF NOT EXISTS 'tessel_gbk'@'%' IDENTIFIED BY 'gbk-password'");
        admin.Exec("GRANT ALL PRIVILEGES ON `" + tdb.Name() + "`.* TO 'tessel_gbk'@'%'");
        const std::string gbkForThisUser =
            "IF(SUBSTRING_INDEX(USER(), '@', 1) = 'tessel_gbk', 'gbk', @@character_set_client)";
        // Without strict mode, as many older servers run: a character that latin1 lacks is
        // stored as "?" instead of failing the statement.
        admin.Exec("SET GLOBAL init_connect = " +
                   admin.Quote("SET character_set_client = " + gbkForThisUser +
                               ", character_set_connection = " + gbkForThisUser +
                               ", character_set_results = " + gbkForThisUser +
                               ", sql_mode = IF(SUBSTRING_INDEX(USER(), '@', 1) = 'tessel_gbk', '', "
                               "@@sql_mode)"));
        auto parameters = tdb.Parameters();
        parameters.UserName = "tessel_gbk";
        parameters.Password = "gbk-password";
        db.SetParameters(parameters);
        db.Connect();
    }
    void TearDown() override {
        db.Disconnect();
        tdb.Admin().Exec("SET GLOBAL init_connect = ''");
        tdb.Admin().Exec("DROP USER IF EXISTS 'tessel_gbk'@'%'");
    }
};

TEST_F(MultiByteSessionTest, ValuesNeverBecomeSql) {
    ResultHandle charset = db.Cn().Query("SELECT @@character_set_client");
    ASSERT_STREQ(::mysql_fetch_row(charset.get())[0], "gbk");
    sql().Exec("INSERT INTO configs VALUES ('email.pass', 'smtp-secret')");
    sql().Exec("INSERT INTO objectos_id VALUES ('u1', 'a.pdf')");

    // An alarm subject that would close its literal and queue the SMTP password as the body.
    const std::string subject =
        "\xbf' , (SELECT Valor FROM configs WHERE Propriedade = 0x656d61696c2e70617373), NULL) #";
    Statement& q = db.NewMail();
    q.SetString("remetente", "alarms@example");
    q.SetString("destinatario", "attacker@example");
    q.SetString("assunto", subject);
    q.SetString("texto", "body");
    q.SetString("anexos", "");
    EXPECT_EQ(q.Execute(), 1u);
    auto rows = sql().Query("SELECT Assunto, Texto FROM mail_spooler");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], subject);
    EXPECT_EQ(rows[0][1], "body");

    // An attachment UID that would match every stored object.
    db.GetNome().SetString("uid", "\xbf' OR 1 = 1 #");
    db.GetNome().Open();
    EXPECT_TRUE(db.GetNome().Empty());
    db.GetNome().Close();
}

}  // namespace
}  // namespace tessel::db
