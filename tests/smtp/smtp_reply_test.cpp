// Reply lines and capability lines as the session reads them.
#include <gtest/gtest.h>

#include "smtp/smtp_client.h"
#include "smtp/smtp_reply.h"

namespace tessel::smtp {
namespace {

TEST(SmtpReplyTest, CodeEnhancedStatusAndTextLines) {
    struct Case {
        std::vector<std::string> Lines;
        int Code;
        bool Valid;
        std::string Enhanced;  // empty: none
        std::vector<std::string> Text;
    };
    const Case cases[] = {
        {{"250-2.1.0 Sender OK"}, 250, true, "2.1.0", {"Sender OK"}},
        {{"250 Sender OK"}, 250, true, "", {"Sender OK"}},
        {{"550 5.1.1"}, 550, true, "5.1.1", {""}},
        {{"250-first", "250-2.0.0 second", "250 third"}, 250, true, "2.0.0", {"first", "second", "third"}},
        {{"250-2.0.0 a", "250  b"}, 250, true, "", {"a", "b"}},  // an empty first word clears it
        {{"250 3.1.0 not a status class"}, 250, true, "", {"3.1.0 not a status class"}},
        {{"250 2.1 too short"}, 250, true, "", {"2.1 too short"}},
        {{"250 2x.1.0 class only begins with 2"}, 250, true, "2x.1.0", {"class only begins with 2"}},
        {{"250 .1.0 no class"}, 250, true, "", {".1.0 no class"}},
        {{"250 2.x.0 subject not a number"}, 250, true, "", {"2.x.0 subject not a number"}},
        {{"250"}, 250, true, "", {""}},
        {{"220-"}, 220, true, "", {""}},
        {{"abc def"}, 0, false, "", {"def"}},
        {{"2500 x"}, 0, false, "", {"x"}},
        {{"099 x"}, 99, false, "", {"x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Lines.front());
        SmtpReply reply = ParseReply(c.Lines);
        EXPECT_EQ(reply.NumericCode, c.Code);
        EXPECT_EQ(reply.HasValidCode(), c.Valid);
        EXPECT_EQ(reply.EnhancedStatus ? reply.EnhancedStatus->Text() : "", c.Enhanced);
        EXPECT_EQ(reply.TextLines, c.Text);
    }
}

TEST(SmtpReplyTest, WhichLineEndsAReply) {
    EXPECT_TRUE(EndsReply("250 ok"));
    EXPECT_TRUE(EndsReply("250"));
    EXPECT_TRUE(EndsReply(""));  // an empty line after "250-a" ends that reply
    EXPECT_TRUE(EndsReply("abc def"));
    EXPECT_FALSE(EndsReply("250-a"));
    EXPECT_FALSE(EndsReply("2500"));
}

TEST(SmtpReplyTest, AuthMechanismsFromCapabilityLines) {
    using List = std::vector<std::string>;
    EXPECT_EQ(AuthMechanisms({"STARTTLS", "AUTH=LOGIN"}), List{"LOGIN"});
    EXPECT_EQ(AuthMechanisms({"AUTH PLAIN LOGIN", "AUTH=LOGIN"}), (List{"PLAIN", "LOGIN"}));
    EXPECT_EQ(AuthMechanisms({"auth  cram-md5   plain"}), (List{"CRAM-MD5", "PLAIN"}));
    EXPECT_EQ(AuthMechanisms({"AUTH=LOGIN PLAIN=X"}), (List{"LOGIN", "PLAIN=X"}));
    EXPECT_EQ(AuthMechanisms({"AUTHLOGIN", "XAUTH LOGIN", "AUTH"}), List{});
    // Only spaces separate the names: a tab is part of a name.
    EXPECT_EQ(AuthMechanisms({"AUTH PLAIN\tLOGIN"}), List{"PLAIN\tLOGIN"});
}

TEST(SmtpReplyTest, CapabilitiesMatchWholeLinesIgnoringCase) {
    std::vector<std::string> capabilities = {"pipelining", "STARTTLS ", "SIZE 100"};
    EXPECT_TRUE(HasCapability(capabilities, "PIPELINING"));
    EXPECT_FALSE(HasCapability(capabilities, "STARTTLS"));
    EXPECT_FALSE(HasCapability(capabilities, "SIZE"));
}

}  // namespace
}  // namespace tessel::smtp
