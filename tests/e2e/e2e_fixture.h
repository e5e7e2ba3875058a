// The whole service against a private database and real SMTP peers: a throwaway database with its
// settings and queue, the records written meanwhile, and what is left in an attachment directory.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cycle/work_cycle.h"
#include "db/database.h"
#include "mail/send_email.h"
#include "support/temp_dir.h"
#include "support/test_database.h"
#include "util/event_log.h"

namespace tessel::e2e {

// Bounds for the in-process sessions: far below the service's own, yet long enough that a server
// which does answer is never taken for a silent one on a loaded machine.
inline smtp::SessionTimeouts TestTimeouts() {
    using std::chrono::milliseconds;
    return {milliseconds(20000), milliseconds(20000), milliseconds(20000), milliseconds(20000)};
}

// Short bounds for the tests of a server that stops answering: such a session fails within seconds.
inline smtp::SessionTimeouts ShortTimeouts() {
    using std::chrono::milliseconds;
    return {milliseconds(5000), milliseconds(2000), milliseconds(5000), milliseconds(5000)};
}

// A clock at a minute no alarm of these tests uses.
inline cycle::LocalDateTime FixedNow() {
    using namespace std::chrono;
    return {year(2026) / 3 / 7, 10, 15};
}

// Record - one event record written while a test ran.
struct Record {
    Severity Level;
    std::string Text;
};

class EndToEndTest : public ::testing::Test {
protected:
    EndToEndTest()
        : records_([this](Severity severity, const std::string&, const std::string& text) {
              std::lock_guard<std::mutex> hold(recordLock_);
              recorded_.push_back({severity, text});
          }) {
        // Header text is labelled from the locale; keep it the plain ISO-8859-1 row.
        ::setenv("LC_ALL", "C", 1);
        db.SetParameters(tdb.Parameters());
    }

    test::SqlSession& sql() { return tdb.Sql(); }

    void Set(const std::string& key, const std::string& value) {
        sql().Exec("DELETE FROM configs WHERE Propriedade = " + sql().Quote(key));
        sql().Exec("INSERT INTO configs VALUES (" + sql().Quote(key) + ", " + sql().Quote(value) + ")");
    }
    // MailServer - the email. settings for a server on 127.0.0.1.
    void MailServer(int port, bool tls = false, const std::string& user = "", const std::string& password = "") {
        Set("email.servidor", "127.0.0.1");
        Set("email.porta", std::to_string(port));
        Set("email.user", user);
        Set("email.pass", password);
        Set("email.remetente", "alarms@example.test");
        Set("email.ssl", tls ? "1" : "0");
    }

    // Queue - one spool row; returns its ID.
    int Queue(const std::string& recipients, const std::string& subject = "Subject",
              const std::string& body = "Body", const std::string& attachments = "",
              const std::string& sender = "Tessel <tessel@example.test>") {
        sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto, Anexos) VALUES (" +
                   sql().Quote(sender) + ", " + sql().Quote(recipients) + ", " + sql().Quote(subject) + ", " +
                   sql().Quote(body) + ", " + (attachments.empty() ? "NULL" : sql().Quote(attachments)) + ")");
        return std::stoi(sql().Scalar("SELECT LAST_INSERT_ID()").value());
    }
    // StoreObject - a stored object: its name and its contents cut into the given chunks.
    void StoreObject(const std::string& uid, const std::string& name, const std::vector<std::string>& chunks) {
        sql().Exec("INSERT INTO objectos_id VALUES (" + sql().Quote(uid) + ", " + sql().Quote(name) + ")");
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            sql().Exec("INSERT INTO ficheiros VALUES (" + sql().Quote(uid) + ", " + std::to_string(i + 1) +
                       ", " + sql().Quote(chunks[i]) + ")");
        }
    }
    // QueuedIds - the IDs left in mail_spooler, ascending, comma-separated.
    std::string QueuedIds() {
        return sql().Scalar("SELECT GROUP_CONCAT(ID ORDER BY ID) FROM mail_spooler").value_or("");
    }
    // LeaseRunOut - the lease service.active has passed its expiry by the server's clock (a killed
    // holder's lease must run out before another run can work).
    bool LeaseRunOut() {
        return sql().Scalar("SELECT SUBSTRING_INDEX(Valor, ';', -1) < DATE_FORMAT(UTC_TIMESTAMP(6), "
                            "'%Y-%m-%d %H:%i:%s.%f') FROM configs WHERE Propriedade = 'service.active'") == "1";
    }
    int QueuedCount() { return std::stoi(sql().Scalar("SELECT COUNT(*) FROM mail_spooler").value()); }

    // Warnings / Errors - the texts of the records written so far.
    std::vector<std::string> Records(Severity level) {
        std::lock_guard<std::mutex> hold(recordLock_);
        std::vector<std::string> texts;
        for (const Record& record : recorded_) {
            if (record.Level == level) texts.push_back(record.Text);
        }
        return texts;
    }
    std::vector<std::string> Warnings() { return Records(Severity::Warning); }
    std::vector<std::string> Errors() { return Records(Severity::Error); }
    void ClearRecords() {
        std::lock_guard<std::mutex> hold(recordLock_);
        recorded_.clear();
    }

    std::string AttachmentRoot() const { return dir.Path() + "/attachments/"; }
    // Cycle - a work cycle (a process's life) on the fixed minute, its back-off timed by Later.
    cycle::WorkCycle Cycle(mail::MailSender& sender) {
        return cycle::WorkCycle(db, sender, AttachmentRoot(), [] { return FixedNow(); },
                                [this] { return retryNow_; });
    }
    // Later - moves the back-off clock of the cycles on.
    void Later(std::chrono::minutes minutes) { retryNow_ += minutes; }

    test::TestDatabase tdb;
    db::Database db;
    test::TempDir dir;

private:
    cycle::RetryTime retryNow_{};
    std::mutex recordLock_;
    std::vector<Record> recorded_;
    ScopedEventSink records_;
};

// FilesUnder - the regular files anywhere below directory (none when it does not exist).
inline std::vector<std::string> FilesUnder(const std::string& directory) {
    std::vector<std::string> files;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_regular_file(ignored)) files.push_back(it->path().string());
    }
    return files;
}

// OnceEach - the recipient counts of a server that got one message for each of recipients.
inline std::map<std::string, int> OnceEach(std::initializer_list<std::string> recipients) {
    std::map<std::string, int> counts;
    for (const std::string& recipient : recipients) counts[recipient] = 1;
    return counts;
}

// Contains - text holds part.
inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// WithoutInformation - standard error of the executable without the lines of its information
// records (the instance's role and each cycle's summary): what is left are warnings and errors.
inline std::string WithoutInformation(const std::string& err) {
    std::string kept;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        std::string line = err.substr(start, end - start);
        if (!line.starts_with("TesselComService: This instance is active: ") &&
            !line.starts_with("TesselComService: Cycle done: ")) {
            kept += line;
        }
        start = end;
    }
    return kept;
}

}  // namespace tessel::e2e
