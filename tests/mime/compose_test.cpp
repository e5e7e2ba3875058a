#include "mime/compose.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "mime/address_parser.h"
#include "support/temp_dir.h"

namespace tessel::mime {
namespace {

using Lines = std::vector<std::string>;

TEST(SplitBodyLinesTest, BreaksNulAndTrailingBreak) {
    const struct {
        std::string body;
        Lines expected;
    } cases[] = {
        {"", {}},
        {"abc", {"abc"}},
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\r\n", {"a"}},
        {"a\r\n\r\n", {"a", ""}},
        {"\r\n", {""}},
        {"\r\r\n", {"", ""}},
        {std::string("a\nb\0c\nd", 7), {"a", "b"}},
        {std::string("\0abc", 4), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.body));
        EXPECT_EQ(SplitBodyLines(c.body), c.expected);
    }
}

TEST(ComposeMessageTest, ParsesSenderRecipientsAndBody) {
    OutgoingMessage m = ComposeMessage(" \t First Last <me@example.com>\r\n",
                                       "a@b.c, \"Last, First\" <d@e.f>", "Subject", "x\r\ny", {});
    const MailAddress me{"First Last", "me@example.com"};
    EXPECT_EQ(m.From, me);
    EXPECT_EQ(m.Sender, me);
    EXPECT_EQ(m.Recipients, (std::vector<MailAddress>{{"", "a@b.c"}, {"Last, First", "d@e.f"}}));
    EXPECT_EQ(m.Subject, "Subject");
    EXPECT_EQ(SplitBodyLines(m.Body.Text()), (Lines{"x", "y"}));
    EXPECT_TRUE(m.Attachments.empty());
}

TEST(ComposeMessageTest, EmptyTextsGiveEmptySenderAndNoRecipients) {
    OutgoingMessage m = ComposeMessage("", "", "", "", {});
    EXPECT_EQ(m.From, MailAddress{});
    EXPECT_TRUE(m.Recipients.empty());
    EXPECT_TRUE(m.Body.Empty());
}

TEST(ComposeMessageTest, TakesOnlyExistingRegularFiles) {
    test::TempDir dir;
    const std::string file = dir.Write("report.pdf", "data");
    ASSERT_EQ(::mkdir(dir.File("sub").c_str(), 0700), 0);
    const std::string sameName = dir.Write("sub/report.pdf", "other");
    OutgoingMessage m = ComposeMessage("me@x.y", "you@x.y", "s", "b",
                                       {dir.File("missing.txt"), file, dir.File("sub"), sameName});
    EXPECT_EQ(m.Attachments, (std::vector<MessageAttachment>{{file, "report.pdf"},
                                                             {sameName, "report.pdf"}}));
}

TEST(ComposeMessageTest, RefusedSenderOrRecipientFails) {
    EXPECT_THROW(ComposeMessage("<a@b.c> d@e.f", "you@x.y", "s", "b", {}), AddressError);
    EXPECT_THROW(ComposeMessage("me@x.y", "<a@b.c> d@e.f", "s", "b", {}), AddressError);
}

}  // namespace
}  // namespace tessel::mime
