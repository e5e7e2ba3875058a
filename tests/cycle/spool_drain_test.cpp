#include "cycle/spool_drain.h"

#include <sys/stat.h>

#include <filesystem>

#include "cycle/attachment.h"
#include "cycle_fixture.h"
#include "db/database_error.h"
#include "util/event_log.h"

namespace tessel::cycle::test {
namespace {

using smtp::DeliveryResult;
using smtp::FailureStage;

class SpoolDrainTest : public CycleTest {
protected:
    SpoolDrainTest()
        : sink_([this](Severity severity, const std::string& source, const std::string& text) {
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
    DrainOutcome Drain() { return DrainSpool(db, sender, smtp, AttachmentRoot()).Outcome; }
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
    Drain();
    ASSERT_EQ(sender.Calls.size(), 1u);
    const SendCall& call = sender.Calls[0];
    ASSERT_EQ(call.AttachmentPaths.size(), 8u);
    const char* files[] = {"passwd", "x", "attachment", "attachment", "a.pdf", "attachment", "same.txt",
                           "same.txt"};
    for (int i = 0; i < 8; ++i) {
        std::filesystem::path path(call.AttachmentPaths[i]);
        EXPECT_EQ(path.filename(), files[i]);
        EXPECT_EQ(path.parent_path().parent_path().string() + "/", AttachmentRoot());
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
    EXPECT_EQ(warnings[0], "Attachment \"missing\" skipped: no stored object has this UID");
    EXPECT_EQ(warnings[1], "Attachment \"\" skipped: no stored object has this UID");
}

TEST_F(SpoolDrainTest, AnAttachmentRootThatCannotBeCreatedEndsTheCycleAndKeepsTheQueue) {
    Object("u1", "a.txt");
    Queue(1, "first@example");
    Queue(2, "second@example", "u1");
    Queue(3, "third@example");
    std::string blocker = dir.Write("blocker", "a file where a directory should be");
    WorkCycle cycle(db, sender, blocker + "/attachments/", [] { return TestNow(); });
    try {
        cycle.RunCycle();
        FAIL();
    } catch (const AttachmentError& e) {
        // The record names the directory that could not be made, not a file never tried.
        EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + blocker + "/attachments\". Not a directory");
    }
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"first@example"}));
    EXPECT_EQ(QueuedIds(), "2,3");
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
        return DeliveryResult::Failure(FailureStage::Session, "connect: Connection refused");
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

    // The next cycle sends what waited.
    sender.Result = nullptr;
    sender.Calls.clear();
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(),
              (std::vector<std::string>{"down@example", "never@example", "third@example"}));
}

TEST_F(SpoolDrainTest, AFailureParticularToOneMessageIsWarnedAndTheRowRemoved) {
    Queue(1, "refused@example;bad address;ok@example");
    Queue(2, "next@example");
    sender.Result = [](const SendCall& call) {
        if (call.Recipient == "refused@example") {
            return DeliveryResult::Failure(FailureStage::Transaction, "550 5.1.1 unknown user");
        }
        if (call.Recipient == "bad address") {
            return DeliveryResult::Failure(FailureStage::Address, "@ Outside address");
        }
        return DeliveryResult::Success();
    };
    EXPECT_EQ(Drain(), DrainOutcome::Drained);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"refused@example", "bad address",
                                                             "ok@example", "next@example"}));
    EXPECT_EQ(QueuedIds(), "");
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "Mail to \"refused@example\" not delivered: 550 5.1.1 unknown user",
                            "Mail to \"bad address\" not sent: @ Outside address"}));
}

TEST_F(SpoolDrainTest, ARowThatSurvivesItsDeletionIsNotSentAgainAndAgain) {
    // A queue table without a usable ID: the row's delete matches nothing.
    sql().Exec("ALTER TABLE mail_spooler MODIFY ID INT NULL, DROP PRIMARY KEY");
    sql().Exec("INSERT INTO mail_spooler (ID, Destinatario) VALUES (NULL, 'a@example')");
    try {
        Drain();
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Queued mail 0 was processed but could not be removed from mail_spooler");
    }
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"a@example"}));
}

TEST_F(SpoolDrainTest, ALostConnectionEndsTheDrainAndKeepsUnprocessedRows) {
    Queue(1, "first@example");
    Queue(2, "second@example");
    sender.OnSend = [&](const SendCall&) { tdb.Kill(db.ConnectionId()); };
    EXPECT_THROW(Drain(), db::DatabaseError);
    EXPECT_EQ(sender.Recipients(), (std::vector<std::string>{"first@example"}));
    EXPECT_EQ(QueuedIds(), "1,2");
    EXPECT_EQ(RootEntries(), 0u);
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
    DrainResult result = DrainSpool(db, sender, smtp, AttachmentRoot(), &stop);
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
                   ? smtp::DeliveryResult::Failure(smtp::FailureStage::Stopped, "Stopped by a stop request")
                   : smtp::DeliveryResult::Success();
    };
    DrainResult result = DrainSpool(db, sender, smtp, AttachmentRoot());
    EXPECT_EQ(result.Outcome, DrainOutcome::Stopped);
    EXPECT_EQ(result.Counts.Refused + result.Counts.Deferred + result.Counts.Delivered, 0u);
    EXPECT_EQ(QueuedIds(), "3,5");
    EXPECT_TRUE(warnings.empty());
}

}  // namespace
}  // namespace tessel::cycle::test
