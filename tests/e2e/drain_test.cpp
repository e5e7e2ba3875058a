// The work cycle with the real sending routine against Debian's aiosmtpd: what arrives, what stays
// queued, and what is left on disk.
#include <algorithm>
#include <map>

#include "e2e_fixture.h"
#include "service_process.h"
#include "support/aiosmtpd_server.h"

namespace tessel::e2e {
namespace {

using test::AiosmtpdServer;
using test::CapturedMessage;

// DecodeBase64 - the bytes of base64 text; line breaks are skipped.
std::string DecodeBase64(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned int buffer = 0;
    int bits = 0;
    for (char c : text) {
        auto value = alphabet.find(c);
        if (value == std::string::npos) continue;
        buffer = (buffer << 6) | static_cast<unsigned int>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

// AttachedFile - the decoded contents of the part whose file name is name ("" when there is none).
std::string AttachedFile(const std::string& data, const std::string& name) {
    auto header = data.find("filename=\"" + name + "\"");
    if (header == std::string::npos) return "";
    auto start = data.find("\r\n\r\n", header);
    auto end = data.find("\r\n--", start);
    if (start == std::string::npos || end == std::string::npos) return "";
    return DecodeBase64(data.substr(start + 4, end - start - 4));
}

// MessagesTo - the captured messages whose envelope names recipient.
std::vector<CapturedMessage> MessagesTo(const std::vector<CapturedMessage>& all, const std::string& recipient) {
    std::vector<CapturedMessage> found;
    for (const auto& message : all) {
        if (std::count(message.Recipients.begin(), message.Recipients.end(), recipient) > 0) {
            found.push_back(message);
        }
    }
    return found;
}

std::map<std::string, int> RecipientCounts(const std::vector<CapturedMessage>& all) {
    std::map<std::string, int> counts;
    for (const auto& message : all) {
        for (const auto& recipient : message.Recipients) ++counts[recipient];
    }
    return counts;
}

class DrainEndToEndTest : public EndToEndTest {
protected:
    void SetUp() override {
        if (!test::AiosmtpdAvailable()) GTEST_SKIP() << "python3-aiosmtpd is not installed";
    }
    mail::SmtpMailSender sender{TestTimeouts()};
};

TEST_F(DrainEndToEndTest, QueuedRowsArriveWithTheirHeadersBodiesAndAttachments) {
    AiosmtpdServer server({});
    MailServer(server.Port());
    std::string binary;
    for (int i = 0; i < 3000; ++i) binary += static_cast<char>(i * 31 % 256);
    StoreObject("u-report", "report.txt", {"The quick ", "", "brown fox"});
    StoreObject("u-data", "../data.bin", {binary.substr(0, 1000), binary.substr(1000, 1500), binary.substr(2500)});
    Queue("Ana <ana@example.test>", "Plain", "Line one\r\nLine two");
    Queue("carla@example.test", "Relat\xF3rio do m\xEAs", "Ol\xE1, segue o relat\xF3rio.\r\nAt\xE9 breve");
    Queue("dora@example.test", "Files", "Two files", "u-report;u-data");
    Queue("eva@example.test;Filipe <filipe@example.test>", "Both", "Same text");

    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 5u);
    for (const auto& message : messages) {
        EXPECT_EQ(message.MailFrom, "tessel@example.test");
        EXPECT_EQ(message.Recipients.size(), 1u) << "one recipient per session";
        EXPECT_TRUE(Contains(message.Data, "From: \"Tessel\" <tessel@example.test>\r\n")) << message.Data;
        EXPECT_FALSE(message.Tls);
    }
    EXPECT_EQ(RecipientCounts(messages),
              (std::map<std::string, int>{{"ana@example.test", 1}, {"carla@example.test", 1},
                                          {"dora@example.test", 1}, {"eva@example.test", 1},
                                          {"filipe@example.test", 1}}));

    auto plain = MessagesTo(messages, "ana@example.test").at(0).Data;
    EXPECT_TRUE(Contains(plain, "Subject: Plain\r\n"));
    EXPECT_TRUE(Contains(plain, "\r\n\r\nLine one\r\nLine two\r\n"));

    auto latin = MessagesTo(messages, "carla@example.test").at(0).Data;
    EXPECT_TRUE(Contains(latin, "=?ISO-8859-1?Q?Relat=F3rio?=")) << latin;
    EXPECT_TRUE(Contains(latin, "=?ISO-8859-1?Q?m=EAs?=")) << latin;
    EXPECT_TRUE(Contains(latin, "Ol\xE1, segue o relat\xF3rio.\r\nAt\xE9 breve")) << "body bytes as stored";

    auto files = MessagesTo(messages, "dora@example.test").at(0).Data;
    EXPECT_TRUE(Contains(files, "multipart/mixed"));
    EXPECT_EQ(AttachedFile(files, "report.txt"), "The quick brown fox");
    EXPECT_EQ(AttachedFile(files, "data.bin"), binary) << "chunks joined in order";

    auto eva = MessagesTo(messages, "eva@example.test").at(0).Data;
    auto filipe = MessagesTo(messages, "filipe@example.test").at(0).Data;
    EXPECT_TRUE(Contains(eva, "To: eva@example.test\r\n")) << eva;
    EXPECT_TRUE(Contains(filipe, "To: \"Filipe\" <filipe@example.test>\r\n")) << filipe;

    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(FilesUnder(AttachmentRoot()).empty());
    EXPECT_TRUE(Warnings().empty());
    EXPECT_TRUE(Errors().empty());
}

TEST_F(DrainEndToEndTest, ServerDownDefersWithOneWarningAndTheNextCycleSendsEachOnce) {
    int downPort = UnusedLoopbackPort();
    MailServer(downPort);
    StoreObject("u1", "note.txt", {"attached"});
    int first = Queue("ana@example.test", "One", "1", "u1");
    int second = Queue("bruno@example.test;carla@example.test", "Two", "2");
    int third = Queue("dora@example.test", "Three", "3");
    std::string all = std::to_string(first) + "," + std::to_string(second) + "," + std::to_string(third);

    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    EXPECT_EQ(QueuedIds(), all) << "nothing reached a server, nothing is removed";
    auto warnings = Warnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(Contains(warnings[0], "127.0.0.1:" + std::to_string(downPort))) << warnings[0];
    EXPECT_TRUE(FilesUnder(AttachmentRoot()).empty()) << "the deferred row's files are gone";

    AiosmtpdServer server({});
    MailServer(server.Port());
    ClearRecords();
    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);
    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    auto messages = server.Messages();
    EXPECT_EQ(RecipientCounts(messages),
              (std::map<std::string, int>{{"ana@example.test", 1}, {"bruno@example.test", 1},
                                          {"carla@example.test", 1}, {"dora@example.test", 1}}));
    EXPECT_EQ(AttachedFile(MessagesTo(messages, "ana@example.test").at(0).Data, "note.txt"), "attached");
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(Warnings().empty());
    EXPECT_TRUE(FilesUnder(AttachmentRoot()).empty());
}

TEST_F(DrainEndToEndTest, MalformedAddressIsAWarningAndTheOtherRowsStillGo) {
    AiosmtpdServer server({});
    MailServer(server.Port());
    Queue("ana@example.test");
    Queue("a <b@c> d@e");
    Queue("bruno@example.test;a <b@c> d@e;carla@example.test");
    Queue("dora@example.test", "Subject", "Body", "", "x <y@z> w@v");

    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    EXPECT_EQ(RecipientCounts(server.Messages()),
              (std::map<std::string, int>{{"ana@example.test", 1}, {"bruno@example.test", 1},
                                          {"carla@example.test", 1}}));
    auto warnings = Warnings();
    ASSERT_EQ(warnings.size(), 3u);
    for (const auto& warning : warnings) EXPECT_TRUE(Contains(warning, "@ Outside address")) << warning;
    EXPECT_TRUE(Contains(warnings[0], "a <b@c> d@e"));
    EXPECT_TRUE(Contains(warnings[2], "dora@example.test")) << "a refused sender names the recipient";
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(Errors().empty());
}

}  // namespace
}  // namespace tessel::e2e
