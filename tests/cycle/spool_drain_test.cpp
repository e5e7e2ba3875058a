#include "cycle/spool_drain.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "cycle/attachment.h"
#include "cycle_fixture.h"
#include "support/child_process.h"
#include "support/delivery_facts.h"
#include "db/database.h"
#include "db/database_error.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

using smtp::DeliveryResult;
using tessel::test::FailureClass;

class SpoolDrainTest : public CycleTest {
protected:
    SpoolDrainTest()
        : sink_([this](Severity severity, const std::string& source, const std::string& text) {
              // The cycle's own information records (role, summary) are not the drain's.
              if (severity == Severity::Information) return;
              EXPECT_EQ(severity, Severity::Warning);
              EXPECT_EQ(source, kServiceSource);
              warnings.push_back(text);
          }) {}
    void SetUp() override {
        UsualSettings();
        smtp.Host = "mail.example";
        smtp.Port = 2525;
        smtp.UserName = "user";
        smtp.Password = "pass";
        smtp.UseTls = true;
        db.Connect();
    }

    void Queue(int id, const std::string& recipients, const std::string& attachments = "",
               const std::string& body = "Body") {
        sql().Exec("INSERT INTO mail_spooler VALUES (" + std::to_string(id) + ", 's@example', " +
                   sql().Quote(recipients) + ", 'Subject " + std::to_string(id) + "', " +
                   sql().Quote(body) + ", " + (attachments.empty() ? "NULL" : sql().Quote(attachments)) +
                   ")");
    }
    void Object(const std::string& uid, const std::string& nome) {
        sql().Exec("INSERT INTO objectos_id VALUES (" + sql().Quote(uid) + ", " + sql().Quote(nome) + ")");
    }
    void Chunk(const std::string& uid, int id, const std::string& bytes) {
        sql().Exec("INSERT INTO ficheiros VALUES (" + sql().Quote(uid) + ", " + std::to_string(id) + ", " +
                   sql().Quote(bytes) + ")");
    }
    DrainOutcome Drain() { return DrainFully().Outcome; }
    // What the service's drains hand on to each other comes along from one drain to the next.
    DrainResult DrainFully() { return DrainSpool(db, sender, smtp, AttachmentRoot(), retry, nullptr, &carry); }
    // Later - moves the back-off clock on.
    void Later(std::chrono::minutes minutes) { now += minutes; }
    std::string QueuedIds() {
        return sql().Scalar("SELECT GROUP_CONCAT(ID ORDER BY ID) FROM mail_spooler").value_or("");
    }
    // RootEntries - what is left under the attachment root.
    std::size_t RootEntries() {
        std::error_code ignored;
        std::size_t n = 0;
        for ([[maybe_unused]] auto& entry :
             std::filesystem::recursive_directory_iterator(AttachmentRoot(), ignored)) {
            ++n;
        }
        return n;
    }

    SmtpSettings smtp;
    std::vector<std::string> warnings;
    RetryTime now{};
    RetrySchedule retry{[this] { return now; }};
    DrainCarry carry;

private:
    ScopedEventSink sink_;
};

TEST_F(SpoolDrainTest, RowsGoOutInIdOrderWithTheTenArgumentsAndAreRemoved) {
    Queue(9, "c@example");
    Queue(3, "a@example");
    Queue(5, "b@example", "", "");
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example", "b@example", "c@example"}));
    const SendCall& first = sender.Calls[0];
    EXPECT_EQ(first.Sender, "s@example");
    EXPECT_EQ(first.Subject, "Subject 3");
    EXPECT_EQ(first.Body, "Body");
    EXPECT_EQ(first.Host, "mail.example");
    EXPECT_EQ(first.UserName, "user");
    EXPECT_EQ(first.Password, "pass");
    EXPECT_TRUE(first.AttachmentPaths.empty());
    EXPECT_EQ(first.Port, 2525);
    EXPECT_TRUE(first.UseTls);
    EXPECT_EQ(first.RowId, 3);  // the Message-ID is made from it
    EXPECT_EQ(sender.Calls[2].RowId, 9);
    EXPECT_EQ(sender.Calls[1].Body, "");  // NULL Texto
    EXPECT_EQ(QueuedIds(), "");
    EXPECT_TRUE(warnings.empty());
}

TEST_F(SpoolDrainTest, ARowQueuedDuringThePassIsSentByTheNextPass) {
    Queue(3, "a@example");
    Queue(5, "b@example");
    sender.OnSend = [&](const SendCall& call) {
        if (call.Recipient == "a@example") Queue(12, "late@example");
    };
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example", "b@example", "late@example"}));
    EXPECT_EQ(QueuedIds(), "");
}

TEST_F(SpoolDrainTest, ARowWithALowerIdCommittedLateIsNotLost) {
    // Another program's transaction can commit ID 4 after ID 5 was read: it must still be sent.
    Queue(3, "a@example");
    Queue(5, "b@example");
    sender.OnSend = [&](const SendCall& call) {
        if (call.Recipient == "b@example") Queue(4, "late@example");
    };
    Drain();
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example", "b@example", "late@example"}));
    EXPECT_EQ(QueuedIds(), "");
}

TEST_F(SpoolDrainTest, RecipientListEdges) {
    Queue(1, "a@example;b@example;");
    Queue(2, "");
    sql().Exec("INSERT INTO mail_spooler (ID, Remetente) VALUES (3, 's@example')");  // NULL recipients
    Drain();
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example", "b@example", ""}));
    EXPECT_EQ(QueuedIds(), "");
}

TEST_F(SpoolDrainTest, EveryRecipientGetsTheSameAttachmentsWrittenOnceAndRemovedAfter) {
    Object("u1", "report.pdf");
    Chunk("u1", 1, "PDF");
    Object("u2", "notes.txt");
    Chunk("u2", 1, "n");
    Queue(1, "a@example;b@example", "u1;u2");
    Drain();
    ASSERT_EQ(sender.Calls.size(), 2u);
    EXPECT_EQ(sender.Calls[0].AttachmentPaths, sender.Calls[1].AttachmentPaths);
    ASSERT_EQ(sender.Calls[0].AttachmentPaths.size(), 2u);
    EXPECT_EQ(sender.Calls[1].AttachmentContents, (std::vector<std::string>{"PDF", "n"}));
    EXPECT_EQ(std::filesystem::path(sender.Calls[0].AttachmentPaths[0]).filename(), "report.pdf");
    for (const std::string& path : sender.Calls[0].AttachmentPaths) {
        EXPECT_FALSE(std::filesystem::exists(path)) << path;
    }
    EXPECT_EQ(RootEntries(), 0u);
    struct stat info{};
    ASSERT_EQ(::stat(AttachmentRoot().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(SpoolDrainTest, ChunksAreJoinedInNumberOrderUpToTheFirstGap) {
    Object("seven", "seven.bin");
    Chunk("seven", 3, "567");
    Chunk("seven", 1, "\x01\x02\x03\x04");
    Chunk("seven", 2, "");
    Object("gap", "gap.bin");
    Chunk("gap", 1, "a");
    Chunk("gap", 2, "b");
    Chunk("gap", 4, "d");
    Object("twice", "twice.bin");
    Chunk("twice", 1, "x");
    Chunk("twice", 1, "y");
    sql().Exec("INSERT INTO ficheiros VALUES ('twice', 2, NULL)");
    Object("none", "empty.bin");
    Queue(1, "a@example", "seven;gap;twice;none");
    Drain();
    ASSERT_EQ(sender.Calls.size(), 1u);
    EXPECT_EQ(sender.Calls[0].AttachmentContents,
              (std::vector<std::string>{"\x01\x02\x03\x04" "567", "ab", "xy", ""}));
    EXPECT_EQ(sender.Calls[0].AttachmentExists, (std::vector<bool>{true, true, true, true}));
}

TEST_F(SpoolDrainTest, StoredNamesCannotLeaveTheAttachmentDirectory) {
    const char* names[] = {"../../etc/passwd", "/tmp/x", "", "..", "C:\\docs\\a.pdf", "dir/.",
                           "same.txt", "same.txt"};
    std::string uids;
    for (int i = 0; i < 8; ++i) {
        Object("o" + std::to_string(i), names[i]);
        Chunk("o" + std::to_string(i), 1, "contents " + std::to_string(i));
        uids += (i ? ";o" : "o") + std::to_string(i);
    }
    Queue(1, "a@example", uids);
    // Where each file really is, while the message is being sent.
    std::vector<std::string> directories;
    sender.OnSend = [&](const SendCall& call) {
        for (const std::string& path : call.AttachmentPaths) {
            directories.push_back(std::filesystem::canonical(std::filesystem::path(path).parent_path()));
        }
    };
    Drain();
    ASSERT_EQ(sender.Calls.size(), 1u);
    const SendCall& call = sender.Calls[0];
    ASSERT_EQ(call.AttachmentPaths.size(), 8u);
    const char* files[] = {"passwd", "x", "attachment", "attachment", "a.pdf", "attachment", "same.txt",
                           "same.txt"};
    for (int i = 0; i < 8; ++i) {
        std::filesystem::path path(call.AttachmentPaths[i]);
        EXPECT_EQ(path.filename(), files[i]);
        EXPECT_EQ(std::filesystem::path(directories[i]).parent_path().string() + "/", AttachmentRoot());
        EXPECT_EQ(call.AttachmentContents[i], "contents " + std::to_string(i));  // same name, own file
    }
    EXPECT_EQ(RootEntries(), 0u);
}

// A UID named twice in one list is attached twice, each copy whole, and both copies go.
TEST_F(SpoolDrainTest, TheSameUidTwiceIsAttachedTwice) {
    Object("u1", "twice.txt");
    Chunk("u1", 1, "ab");
    Chunk("u1", 2, "c");
    Queue(1, "a@example", "u1;u1");
    Drain();
    ASSERT_EQ(sender.Calls.size(), 1u);
    const SendCall& call = sender.Calls[0];
    ASSERT_EQ(call.AttachmentPaths.size(), 2u);
    EXPECT_NE(call.AttachmentPaths[0], call.AttachmentPaths[1]);
    EXPECT_EQ(call.AttachmentContents, (std::vector<std::string>{"abc", "abc"}));
    EXPECT_EQ(RootEntries(), 0u);
    EXPECT_EQ(QueuedIds(), "");
}

// Another process swaps the object directory for a link to a directory of secrets between the
// writing and the sending: the message still carries what was written, and the secret file stays.
TEST_F(SpoolDrainTest, AnObjectDirectorySwappedForALinkChangesNothing) {
    std::filesystem::create_directory(dir.File("secret"));
    dir.Write("secret/report.pdf", "root-only secret");
    Object("u1", "report.pdf");
    Chunk("u1", 1, "the stored report");
    Queue(1, "a@example;b@example", "u1");
    sender.OnSend = [&](const SendCall&) {
        if (sender.Calls.size() != 1) return;
        std::string script = "cd '" + AttachmentRoot() + "' && d=$(ls) && mv \"$d\" moved && ln -s '" +
                             dir.File("secret") + "' \"$d\"";
        pid_t child = tessel::test::SpawnChild({"/bin/sh", "-c", script}, {}, "/dev/null",
                                               dir.File("swap.out"), dir.File("swap.err"));
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_EQ(status, 0) << tessel::test::ReadFile(dir.File("swap.err"));
    };
    Drain();
    ASSERT_EQ(sender.Calls.size(), 2u);
    EXPECT_EQ(sender.Calls[1].AttachmentContents, (std::vector<std::string>{"the stored report"}));
    EXPECT_EQ(tessel::test::ReadFile(dir.File("secret/report.pdf")), "root-only secret");
}

TEST(AttachmentFileName, LastComponentOrAFallback) {
    struct Case {
        std::string nome, file;
    } cases[] = {{"a.pdf", "a.pdf"}, {"../../etc/passwd", "passwd"}, {"/tmp/x", "x"},
                 {"C:\\d\\a.pdf", "a.pdf"}, {"", "attachment"}, {".", "attachment"},
                 {"..", "attachment"}, {"dir/", "attachment"}, {std::string("a\0/b", 4), "a"},
                 {" .. ", " .. "}};
    for (const Case& c : cases) EXPECT_EQ(AttachmentFileName(c.nome), c.file) << c.nome;
}

TEST_F(SpoolDrainTest, AnUnknownUidIsSkippedWithAWarning) {
    Object("u1", "a.txt");
    Chunk("u1", 1, "A");
    Queue(1, "a@example", "missing;u1;");
    Drain();
    ASSERT_EQ(sender.Calls.size(), 1u);
    EXPECT_EQ(sender.Calls[0].AttachmentContents, (std::vector<std::string>{"A"}));
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0], "Attachment \"missing\" of queued mail 1 to \"a@example\" skipped: no stored object "
                           "has this UID");
    EXPECT_EQ(warnings[1], "Attachment \"\" of queued mail 1 to \"a@example\" skipped: no stored object has "
                           "this UID");
}

// The rows that need attachments wait, with one warning for the drain; the others go out.
TEST_F(SpoolDrainTest, AnAttachmentRootThatIsNotSafeHoldsOnlyTheRowsWithAttachments) {
    Object("u1", "a.txt");
    Chunk("u1", 1, "A");
    std::string blocker = dir.Write("blocker", "a file where a directory should be");
    std::filesystem::create_directory(dir.File("elsewhere"));
    struct Case {
        std::string root, problem;
        std::function<void()> arrange;
    } cases[] = {
        {blocker + "/attachments/", "cannot be reached: Not a directory", [] {}},
        {dir.File("file") + "/", "is not a directory", [&] { dir.Write("file", "x"); }},
        {dir.File("link") + "/", "is a symbolic link",
         [&] { std::filesystem::create_directory_symlink(dir.File("elsewhere"), dir.File("link")); }},
        {dir.File("open") + "/", "may be written by group or others (mode 0777)",
         [&] {
             std::filesystem::create_directory(dir.File("open"));
             ::chmod(dir.File("open").c_str(), 0777);
         }},
        {dir.File("group") + "/", "may be written by group or others (mode 0770)",
         [&] {
             std::filesystem::create_directory(dir.File("group"));
             ::chmod(dir.File("group").c_str(), 0770);
         }},
        {dir.File("foreign") + "/", "belongs to user 65534, not to the service's user " + std::to_string(::geteuid()),
         [&] {
             std::filesystem::create_directory(dir.File("foreign"));
             ::chmod(dir.File("foreign").c_str(), 0700);
             EXPECT_EQ(::chown(dir.File("foreign").c_str(), 65534, 65534), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.root);
        if (::geteuid() != 0 && c.problem.starts_with("belongs")) continue;  // needs root to give away
        c.arrange();
        sql().Exec("DELETE FROM mail_spooler");
        sender.Calls.clear();
        warnings.clear();
        Queue(1, "first@example");
        Queue(2, "second@example", "u1");
        Queue(3, "third@example", "u1;u1");
        Queue(4, "fourth@example");
        EXPECT_EQ(DrainSpool(db, sender, smtp, c.root, retry).Outcome, DrainOutcome::Drained);
        EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"first@example", "fourth@example"}));
        EXPECT_EQ(QueuedIds(), "2,3");
        EXPECT_EQ(warnings, (std::vector<std::string>{"The attachment directory \"" + c.root + "\" " +
                                                      c.problem +
                                                      "; the queued mail with attachments stays queued"}));
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.File("elsewhere")));
}

TEST_F(SpoolDrainTest, ASessionFailureDefersTheRestOfTheQueue) {
    Object("u1", "a.txt");
    Chunk("u1", 1, "A");
    Queue(1, "first@example");
    Queue(2, "down@example;never@example", "u1");
    Queue(3, "third@example");
    std::vector<std::string> pathsAtFailure;
    sender.Result = [&](const SendCall& call) {
        if (call.Recipient != "down@example") return DeliveryResult::Success();
        pathsAtFailure = call.AttachmentPaths;
        return tessel::test::FailedAs(FailureClass::Session, "connect: Connection refused");
    };
    EXPECT_EQ(Drain(), DrainOutcome::Deferred);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"first@example", "down@example"}));
    EXPECT_EQ(QueuedIds(), "2,3");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("mail.example:2525"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("connect: Connection refused"), std::string::npos) << warnings[0];
    ASSERT_EQ(pathsAtFailure.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(pathsAtFailure[0]));
    EXPECT_EQ(RootEntries(), 0u);

    // The row waits out its back-off, without the recipient already served, the one at which the
    // drain deferred last; the row behind it goes at once.
    EXPECT_EQ(sql().Scalar("SELECT Destinatario FROM mail_spooler WHERE ID = 2"), "never@example;down@example");
    sender.Result = nullptr;
    sender.Calls.clear();
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"third@example"}));
    Later(std::chrono::minutes(5));
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(),
              (std::vector<std::string>{"third@example", "never@example", "down@example"}));
    EXPECT_EQ(QueuedIds(), "");
}

TEST_F(SpoolDrainTest, AFailureBeforeTheTransactionDefersWithoutPuttingTheRowInBackOff) {
    Queue(1, "a@example;b@example");
    Queue(2, "c@example");
    sender.Result = [](const SendCall&) {
        return DeliveryResult::Failure(smtp::ErrorKind::Connection, smtp::SessionState::Greeting, "Timed out");
    };
    EXPECT_EQ(Drain(), DrainOutcome::Deferred);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("(session state: greeting)"), std::string::npos) << warnings[0];
    EXPECT_FALSE(retry.Waiting(1));
    // The server is back: the oldest mail leaves at the next cycle, not after a back-off.
    sender.Result = nullptr;
    sender.Calls.clear();
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"b@example", "a@example", "c@example"}));
    EXPECT_EQ(QueuedIds(), "");
}

TEST_F(SpoolDrainTest, AKeptSessionThatDrawsA421IsReplacedAtOnceWithFewerMessagesPerSession) {
    Queue(1, "a@example;b@example;c@example;d@example");
    smtp.MessagesPerSession = 5;
    int calls = 0;
    sender.Result = [&](const SendCall&) {
        ++calls;
        if (calls != 3) return DeliveryResult::Success();
        // The third message of a session: the server allows two per connection.
        DeliveryResult result =
            DeliveryResult::Failure(smtp::ErrorKind::Refused, smtp::SessionState::MailFrom, "421 4.7.0 too many", 421);
        result.SessionMessages = 2;
        return result;
    };
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(),
              (std::vector<std::string>{"a@example", "b@example", "c@example", "c@example", "d@example"}));
    std::vector<std::int32_t> limits;
    for (const SendCall& call : sender.Calls) limits.push_back(call.MessagesPerSession);
    EXPECT_EQ(limits, (std::vector<std::int32_t>{5, 5, 5, 2, 2}));
    EXPECT_EQ(QueuedIds(), "");
    EXPECT_TRUE(warnings.empty());
}

TEST_F(SpoolDrainTest, AFailureParticularToOneMessageIsWarnedAndTheRowRemoved) {
    Queue(1, "refused@example;bad address;ok@example");
    Queue(2, "next@example");
    sender.Result = [](const SendCall& call) {
        if (call.Recipient == "refused@example") {
            return tessel::test::FailedAs(FailureClass::Transaction, "550 5.1.1 unknown user");
        }
        if (call.Recipient == "bad address") {
            return tessel::test::FailedAs(FailureClass::Address, "@ Outside address");
        }
        return DeliveryResult::Success();
    };
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"refused@example", "bad address",
                                                             "ok@example", "next@example"}));
    EXPECT_EQ(QueuedIds(), "");
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "Queued mail 1 to \"refused@example\" not delivered: 550 5.1.1 unknown user",
                            "Queued mail 1 to \"bad address\" not sent: @ Outside address"}));
}

TEST_F(SpoolDrainTest, ARowThatCannotBeRemovedAloneIsNotSent) {
    // A queue table without a usable ID: a NULL ID is never read (no page reaches it); a row whose
    // delete would take two rows at once is not sent.
    sql().Exec("ALTER TABLE mail_spooler MODIFY ID INT NULL, DROP PRIMARY KEY");
    sql().Exec("INSERT INTO mail_spooler (ID, Destinatario) VALUES (NULL, 'a@example')");
    sql().Exec("INSERT INTO mail_spooler (ID, Destinatario) VALUES (4, 'b@example'), (4, 'c@example')");
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_TRUE(sender.Calls.empty());
    EXPECT_EQ(sql().Scalar("SELECT COUNT(*) FROM mail_spooler"), "3");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("its ID matches 2 rows"), std::string::npos) << warnings[0];
}

TEST_F(SpoolDrainTest, ARowLeftPendingIsSkippedForTheRestOfTheDrainAcrossPages) {
    // Row 1200 (second page) is refused for now; by the time a late row with a low ID brings a second
    // pass, its back-off has run out: it is still not tried again in this drain.
    sql().Exec("INSERT INTO mail_spooler (ID, Remetente, Destinatario, Assunto, Texto) "
               "SELECT seq, 's@example', CONCAT('r', seq), 'S', 'B' FROM seq_1_to_1500 WHERE seq <> 5");
    sender.Result = [](const SendCall& call) {
        if (call.Recipient != "r1200") return DeliveryResult::Success();
        return tessel::test::FailedAs(FailureClass::Temporary, "451 4.7.1 try again later", 451);
    };
    sender.OnSend = [&](const SendCall& call) {
        if (call.Recipient != "r1400") return;
        Later(std::chrono::minutes(10));
        sql().Exec("INSERT INTO mail_spooler (ID, Destinatario) VALUES (5, 'late-low')");
    };
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    std::vector<std::string> sent = sender.Recipients();
    EXPECT_EQ(sent.size(), 1500u);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "r1200"), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "late-low"), 1);
    EXPECT_EQ(QueuedIds(), "1200");
}

TEST_F(SpoolDrainTest, PagesFollowRowsThatOthersInsertAndDeleteDuringThePass) {
    // 2,500 rows read a page of 1,000 at a time; ID 10 is missing at the start. The test's own
    // session is another connection than the drain's.
    sql().Exec("INSERT INTO mail_spooler (ID, Remetente, Destinatario, Assunto, Texto) "
               "SELECT seq, 's@example', CONCAT('r', seq), 'S', 'B' FROM seq_1_to_2500 WHERE seq <> 10");
    sender.OnSend = [&](const SendCall& call) {
        if (call.Recipient == "r1500") {
            sql().Exec("DELETE FROM mail_spooler WHERE ID IN (2200, 2201)");  // not read yet
            sql().Exec("INSERT INTO mail_spooler (ID, Destinatario) VALUES (10, 'late-low')");
            sql().Exec("INSERT INTO mail_spooler (ID, Destinatario) VALUES (3000, 'late-high')");
        }
    };
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    std::vector<std::string> expected;
    for (int id = 1; id <= 2500; ++id) {
        if (id != 10 && id != 2200 && id != 2201) expected.push_back("r" + std::to_string(id));
    }
    expected.push_back("late-high");  // after the highest ID read: still in this pass
    expected.push_back("late-low");   // below what the pass had read: the next pass
    EXPECT_EQ(sender.Recipients(), expected);
    EXPECT_EQ(QueuedIds(), "");
    EXPECT_EQ(sender.SessionsEnded, 1);
}

TEST_F(SpoolDrainTest, ABodyLongerThanAPageHoldsIsReadApartAndSentWhole) {
    // Installations may have widened Texto; such a body is read in pieces, not in the page.
    sql().Exec("ALTER TABLE mail_spooler MODIFY Texto LONGTEXT NULL");
    const std::size_t piece = static_cast<std::size_t>(db::kMailTextPiece);
    // Ends in a part piece; ends exactly at a piece's end; one byte more than the page holds.
    for (std::size_t bigSize : {4 * piece + 100, 2 * piece, std::size_t{65536}}) {
        SCOPED_TRACE(bigSize);
        sender.Calls.clear();
        std::string big;
        for (int i = 0; big.size() < bigSize; ++i) big += "line " + std::to_string(i) + "\r\n";
        big.resize(bigSize, 'z');
        Queue(1, "a@example", "", std::string(65535, 'x'));  // still in the page
        Queue(2, "b@example", "", big);
        Queue(3, "c@example", "", "short");
        EXPECT_EQ(Drain(), DrainOutcome::Drained);
        ASSERT_EQ(sender.Calls.size(), 3u);
        EXPECT_EQ(sender.Calls[0].Body, std::string(65535, 'x'));
        EXPECT_TRUE(sender.Calls[1].Body == big) << sender.Calls[1].Body.size() << " bytes of " << big.size();
        EXPECT_EQ(sender.Calls[2].Body, "short");
    }
}

TEST_F(SpoolDrainTest, TheMailSessionEndsWithTheDrainHoweverItEnds) {
    Queue(1, "a@example");
    sender.Result = [](const SendCall&) { return tessel::test::FailedAs(FailureClass::Session, "down"); };
    EXPECT_EQ(Drain(), DrainOutcome::Deferred);
    EXPECT_EQ(sender.SessionsEnded, 1);
    sender.Result = nullptr;
    Queue(2, "b@example");  // row 1 waits out its back-off
    sender.OnSend = [&](const SendCall&) { throw std::runtime_error("attachment gone"); };
    EXPECT_THROW(Drain(), std::runtime_error);
    EXPECT_EQ(sender.SessionsEnded, 2);
}

// The server ends the session while a message of a row is with the mail server (wait_timeout, a
// restart, a KILL): the progress already committed stands, the session is re-established and the
// work lock taken again before the next write, so nobody gets the message twice. When another
// instance took the lock meanwhile, this one writes nothing more: at most the message in flight goes
// again, from the other instance.
TEST_F(SpoolDrainTest, ASessionLostBetweenRecipientsCostsAtMostTheMessageInFlight) {
    struct Case {
        std::size_t killedAt;  // the send (from 0) during which the session is killed
        bool lockTakenElsewhere;
        DrainOutcome outcome;
        std::string queued;  // what is left of rows 1 and 2
    };
    const Case cases[] = {
        {0, false, DrainOutcome::Drained, ""},
        {1, false, DrainOutcome::Drained, ""},
        {2, false, DrainOutcome::Drained, ""},
        {3, false, DrainOutcome::Drained, ""},
        {0, true, DrainOutcome::Deferred, "1:a@example;b@example;c@example 2:d@example"},
        {1, true, DrainOutcome::Deferred, "1:b@example;c@example 2:d@example"},
        {3, true, DrainOutcome::Deferred, "2:d@example"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("killed at send " + std::to_string(c.killedAt) + (c.lockTakenElsewhere ? ", lock taken" : ""));
        sql().Exec("DELETE FROM mail_spooler");
        sender.Calls.clear();
        sender.OnSend = nullptr;
        Queue(1, "a@example;b@example;c@example");
        Queue(2, "d@example");
        const auto& server = tessel::test::TestServer();
        std::unique_ptr<tessel::test::SqlSession> other;
        sender.OnSend = [&](const SendCall&) {
            if (sender.Calls.size() != c.killedAt + 1) return;
            tdb.Kill(db.ConnectionId());
            if (!c.lockTakenElsewhere) return;
            other = std::make_unique<tessel::test::SqlSession>(server, server.User, server.Password, tdb.Name());
            other->Exec("SELECT GET_LOCK(CONCAT('tesselcomsvc.', DATABASE()), 0)");
        };
        db.Connect();
        EXPECT_EQ(Drain(), c.outcome);
        std::vector<std::string> sent = sender.Recipients();
        std::set<std::string> distinct(sent.begin(), sent.end());
        EXPECT_EQ(distinct.size(), sent.size()) << "nobody got the message twice";
        EXPECT_EQ(sent.size(), c.lockTakenElsewhere ? c.killedAt + 1 : 4u);
        std::string queued;
        for (std::int32_t id : {1, 2}) {
            auto left = sql().Scalar("SELECT Destinatario FROM mail_spooler WHERE ID = " + std::to_string(id));
            if (left) queued += (queued.empty() ? "" : " ") + std::to_string(id) + ":" + *left;
        }
        EXPECT_EQ(queued, c.queued);
        sender.OnSend = nullptr;
        other.reset();
        db.Disconnect();
    }
}

TEST_F(SpoolDrainTest, AStopEndsTheDrainAtTheNextMessageAndLeavesTheRestQueued) {
    Object("u1", "report.txt");
    Chunk("u1", 1, "contents");
    Queue(3, "a@example");
    Queue(5, "b@example", "u1");
    Queue(7, "c@example");
    StopSignal stop;
    sender.OnSend = [&](const SendCall& call) {
        if (call.Recipient == "b@example") stop.Request();
    };
    DrainResult result = DrainSpool(db, sender, smtp, AttachmentRoot(), retry, &stop);
    EXPECT_EQ(result.Outcome, DrainOutcome::Stopped);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example", "b@example"}));
    EXPECT_EQ(QueuedIds(), "7");
    EXPECT_EQ(RootEntries(), 0u);  // the row's attachment went with it
    EXPECT_TRUE(warnings.empty());
}

TEST_F(SpoolDrainTest, AMessageCutShortByAStopStaysQueuedWithoutAWarning) {
    Queue(3, "a@example");
    Queue(5, "b@example");
    sender.Result = [](const SendCall& call) {
        return call.Recipient == "a@example"
                   ? tessel::test::FailedAs(FailureClass::Stopped, "Stopped by a stop request")
                   : smtp::DeliveryResult::Success();
    };
    DrainResult result = DrainFully();
    EXPECT_EQ(result.Outcome, DrainOutcome::Stopped);
    EXPECT_EQ(result.Counts.Refused + result.Counts.Deferred + result.Counts.Delivered, 0u);
    EXPECT_EQ(QueuedIds(), "3,5");
    EXPECT_TRUE(warnings.empty());
}

}  // namespace
}  // namespace tessel::cycle::test

namespace tessel::cycle::test {
namespace {

DeliveryResult Refusal(int code, const std::string& text) {
    FailureClass stage = code >= 500 ? FailureClass::Transaction : FailureClass::Temporary;
    return tessel::test::FailedAs(stage, std::to_string(code) + " " + text, code);
}

std::string Destinatario(tessel::test::SqlSession& sql, int id) {
    return sql.Scalar("SELECT Destinatario FROM mail_spooler WHERE ID = " + std::to_string(id)).value_or("<gone>");
}

// One row with every kind of outcome: only the recipients refused for now stay, the others are
// never tried again; the row waits out its back-off and then serves exactly those.
TEST_F(SpoolDrainTest, OnlyTheRecipientsRefusedForNowStayInTheRow) {
    Object("u1", "a.txt");
    Chunk("u1", 1, "A");
    Queue(1, "ok@example;grey@example;gone@example;lost@example;full@example;bad address", "u1");
    Queue(2, "next@example");
    bool secondRound = false;
    sender.Result = [&](const SendCall& call) {
        if (secondRound || call.Recipient == "ok@example" || call.Recipient == "next@example") {
            return DeliveryResult::Success();
        }
        if (call.Recipient == "grey@example") return Refusal(451, "4.7.1 Greylisted");
        if (call.Recipient == "gone@example") return Refusal(550, "5.1.1 No such user");
        if (call.Recipient == "full@example") return Refusal(452, "4.2.2 Mailbox full");
        if (call.Recipient == "lost@example") return tessel::test::FailedAs(FailureClass::Unconfirmed, "Timed out");
        return tessel::test::FailedAs(FailureClass::Address, "@ Outside address");
    };
    DrainResult first = DrainFully();
    EXPECT_EQ(first.Outcome, DrainOutcome::Drained);
    EXPECT_EQ(first.Counts.Delivered, 2u);
    EXPECT_EQ(first.Counts.Pending, 2u);
    EXPECT_EQ(first.Counts.Refused, 2u);
    EXPECT_EQ(first.Counts.Unconfirmed, 1u);
    EXPECT_EQ(QueuedIds(), "1");
    EXPECT_EQ(Destinatario(sql(), 1), "grey@example;full@example");
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_EQ(warnings[0], "Queued mail 1 to \"grey@example\" refused for now, to be retried: 451 4.7.1 Greylisted");
    EXPECT_EQ(warnings[2], "Queued mail 1 to \"lost@example\": delivery unconfirmed, not retried (the server "
                           "may have taken it): Timed out");
    EXPECT_EQ(RootEntries(), 0u);

    sender.Calls.clear();
    secondRound = true;
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_TRUE(sender.Calls.empty()) << "in back-off";
    Later(std::chrono::minutes(5));
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"grey@example", "full@example"}));
    EXPECT_EQ(sender.Calls[0].AttachmentContents, (std::vector<std::string>{"A"})) << "rebuilt for the retry";
    EXPECT_EQ(QueuedIds(), "");
    EXPECT_EQ(RootEntries(), 0u);
}

// The wait before each retry: 5 minutes, doubling, at most an hour; a new process tries at once.
TEST_F(SpoolDrainTest, BackOffDoublesUpToAnHourAndARestartTriesAtOnce) {
    Queue(1, "grey@example");
    sender.Result = [](const SendCall&) { return Refusal(451, "4.7.1 Greylisted"); };
    struct Step {
        int minutesLater;
        bool tried;
    } steps[] = {{0, true},  {4, false}, {1, true},  {9, false}, {1, true},  {19, false}, {1, true},
                 {39, false}, {1, true}, {59, false}, {1, true}, {59, false}, {1, true}};
    int minute = 0;
    for (const Step& step : steps) {
        Later(std::chrono::minutes(step.minutesLater));
        minute += step.minutesLater;
        std::size_t before = sender.Calls.size();
        Drain();
        EXPECT_EQ(sender.Calls.size() - before, step.tried ? 1u : 0u) << "at minute " << minute;
    }
    EXPECT_EQ(QueuedIds(), "1");
    RetrySchedule restarted([this] { return now; });
    std::size_t before = sender.Calls.size();
    DrainSpool(db, sender, smtp, AttachmentRoot(), restarted);
    EXPECT_EQ(sender.Calls.size() - before, 1u);
}

// After email.retry.hours from the first temporary refusal the pending recipients are given up;
// with 0 a temporary refusal fails at once, as it used to.
TEST_F(SpoolDrainTest, PendingRecipientsAreGivenUpAfterTheRetryHours) {
    smtp.RetryHours = 2;
    Queue(1, "grey@example;ok@example");
    int attempt = 0;
    sender.Result = [&](const SendCall& call) {
        if (call.Recipient == "ok@example") return DeliveryResult::Success();
        return Refusal(450, "4.2.0 attempt " + std::to_string(++attempt));
    };
    for (int i = 0; i < 6 && QueuedIds() == "1"; ++i) {
        Drain();
        Later(std::chrono::minutes(31));
    }
    EXPECT_EQ(QueuedIds(), "");
    // Tried at minutes 0, 31, 62, 93 and 155 (each after its back-off): the last is past two hours.
    EXPECT_EQ(attempt, 5);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings.back(), "Given up on queued mail 1 to \"grey@example\": still refused 2 h 35 min after "
                               "the first temporary refusal: 450 4.2.0 attempt 1");
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"grey@example", "ok@example", "grey@example",
                                                             "grey@example", "grey@example", "grey@example"}));

    smtp.RetryHours = 0;
    warnings.clear();
    Queue(2, "grey@example");
    EXPECT_EQ(DrainFully().Counts.Refused, 1u);
    EXPECT_EQ(QueuedIds(), "");
    EXPECT_EQ(warnings, (std::vector<std::string>{"Queued mail 2 to \"grey@example\" not delivered: 450 4.2.0 "
                                                  "attempt 6"}));
}

// A server that allows four sessions and then answers 421, and a recipient that always draws a
// 421: the recipients already served never get the message twice, and the rows behind go out
// (each 421 is a throttling reply: the next drain begins behind the row that drew it).
TEST_F(SpoolDrainTest, ClosingRepliesNeitherRepeatNorBlockTheQueue) {
    std::string ten;
    for (int i = 1; i <= 10; ++i) ten += (i > 1 ? ";r" : "r") + std::to_string(i) + "@example";
    Queue(1, ten);
    Queue(2, "a@example;poison@example;c@example");
    Queue(3, "behind@example");
    int sessions = 0;
    bool limited = true;
    sender.Result = [&](const SendCall& call) {
        if (call.Recipient == "poison@example") return Refusal(421, "4.7.0 Not for this one");
        if (limited && ++sessions == 5) return Refusal(421, "4.7.0 Too many connections");
        return DeliveryResult::Success();
    };
    for (int cycle = 0; cycle < 8; ++cycle) {
        Drain();
        limited = false;
        Later(std::chrono::minutes(cycle % 2 ? 6 : 0));
    }
    std::map<std::string, int> got;
    for (const SendCall& call : sender.Calls) ++got[call.Recipient];
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(got["r" + std::to_string(i) + "@example"], i == 5 ? 2 : 1) << i;
    EXPECT_EQ(got["a@example"], 1);
    EXPECT_EQ(got["c@example"], 1);
    EXPECT_EQ(got["behind@example"], 1);
    EXPECT_EQ(QueuedIds(), "2");
    EXPECT_EQ(Destinatario(sql(), 2), "poison@example");
    // A throttling reply puts no row in back-off and starts no give-up clock.
    EXPECT_EQ(retry.Size(), 0u);
    // What the process remembers of a row goes with the row, also when another program removes it.
    sender.Result = [](const SendCall&) { return Refusal(451, "4.7.1 Greylisted"); };
    Drain();
    EXPECT_EQ(retry.Size(), 1u);
    sql().Exec("DELETE FROM mail_spooler");
    Drain();
    EXPECT_EQ(retry.Size(), 0u);
}

// A lock that cannot be had: nothing of that row is sent (it could not be removed afterwards).
TEST_F(SpoolDrainTest, ARowThatCannotBeLockedIsNotSent) {
    Queue(1, "locked@example");
    Queue(2, "free@example");
    tessel::test::SqlSession holder(tessel::test::TestServer(), tessel::test::TestServer().User, tessel::test::TestServer().Password, tdb.Name());
    holder.Exec("START TRANSACTION");
    holder.Exec("SELECT * FROM mail_spooler WHERE ID = 1 FOR UPDATE");
    db.Cn().Execute("SET SESSION innodb_lock_wait_timeout = 1");
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"free@example"}));
    holder.Exec("ROLLBACK");
    EXPECT_EQ(QueuedIds(), "1");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("Queued mail 1 to \"locked@example\" not sent: its row is locked by "
                                        "another session: Lock wait timeout"))
        << warnings[0];
}

// ReadOnlyServer - the server refuses every change while the object lives.
class ReadOnlyServer {
public:
    explicit ReadOnlyServer(tessel::test::TestDatabase& tdb) : tdb_(tdb) { tdb_.Admin().Exec("SET GLOBAL read_only = 1"); }
    ~ReadOnlyServer() { tdb_.Admin().Exec("SET GLOBAL read_only = 0"); }

private:
    tessel::test::TestDatabase& tdb_;
};

TEST_F(SpoolDrainTest, AReadOnlyServerGetsNothingSentAndTheQueueWaits) {
    Queue(1, "a@example");
    Queue(2, "b@example");
    {
        ReadOnlyServer readOnly(tdb);
        EXPECT_EQ(Drain(), DrainOutcome::Deferred);
    }
    EXPECT_TRUE(sender.Calls.empty());
    EXPECT_EQ(QueuedIds(), "1,2");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("Queued mail 1 to \"a@example\" not sent: the queue cannot be changed"))
        << warnings[0];
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example", "b@example"}));
}

// A stop inside a row keeps the recipients not yet served, in their order, and no back-off: the
// next run serves them at once, and nobody twice.
TEST_F(SpoolDrainTest, AStopInsideARowKeepsTheRecipientsNotYetServed) {
    Queue(3, "a@example;b@example;c@example;d@example");
    StopSignal stop;
    sender.OnSend = [&](const SendCall& call) {
        if (call.Recipient == "b@example") stop.Request();
    };
    sender.Result = [](const SendCall& call) {
        return call.Recipient == "a@example" ? Refusal(451, "4.7.1 Greylisted") : DeliveryResult::Success();
    };
    EXPECT_EQ(DrainSpool(db, sender, smtp, AttachmentRoot(), retry, &stop).Outcome, DrainOutcome::Stopped);
    EXPECT_EQ(Destinatario(sql(), 3), "c@example;d@example;a@example");
    sender.Calls.clear();
    sender.OnSend = nullptr;
    sender.Result = nullptr;
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"c@example", "d@example", "a@example"}));
    EXPECT_EQ(QueuedIds(), "");
}

// Some installations keep mail_spooler in MyISAM, where a removal cannot be undone: a row must
// then go only once nobody in it remains to be served, or a mail server outage loses it.
TEST_F(SpoolDrainTest, ATableWithoutTransactionsLosesNoRowThatIsNotDone) {
    sql().Exec("ALTER TABLE mail_spooler ENGINE=MyISAM");
    Queue(1, "ok@example");
    Queue(2, "ok2@example;grey@example");
    Queue(3, "down@example;later@example");
    Queue(4, "after@example");
    sender.Result = [](const SendCall& call) {
        if (call.Recipient == "grey@example") return Refusal(451, "4.7.1 Greylisted");
        if (call.Recipient == "down@example") {
            return tessel::test::FailedAs(FailureClass::Session, "connect: Connection refused");
        }
        return DeliveryResult::Success();
    };
    DrainResult result = DrainFully();
    EXPECT_EQ(result.Outcome, DrainOutcome::Deferred);
    EXPECT_EQ(result.QueueEngine.Name, "MyISAM");
    EXPECT_FALSE(result.QueueEngine.Transactional);
    EXPECT_EQ(QueuedIds(), "2,3,4");
    EXPECT_EQ(Destinatario(sql(), 2), "grey@example");
    EXPECT_EQ(Destinatario(sql(), 3), "later@example;down@example");

    // The cycle says so once, not every cycle.
    warnings.clear();
    sender.Result = nullptr;
    WorkCycle cycle = Cycle();
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(QueuedIds(), "");
    Queue(5, "again@example");
    EXPECT_EQ(cycle.RunCycle(), CycleOutcome::Completed);
    EXPECT_EQ(QueuedIds(), "");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("mail_spooler has no transactions (engine MyISAM)")) << warnings[0];
}

}  // namespace
}  // namespace tessel::cycle::test
