#include "mime/render.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "mime/transfer_encoding.h"
#include "sample_messages.h"
#include "support/temp_dir.h"

namespace tessel::mime {
namespace {

using samples::BaseMessage;
using samples::kContext;
using samples::kReportBytes;

using Lines = std::vector<std::string>;

class RecordingWriter : public LineWriter {
public:
    void WriteLine(std::string_view line) override { lines.emplace_back(line); }
    Lines lines;
};

// Fails on the line after `limit` lines, as a broken connection would.
class BrokenWriter : public LineWriter {
public:
    struct Broken {};
    explicit BrokenWriter(std::size_t limit) : limit_(limit) {}
    void WriteLine(std::string_view) override {
        if (written_++ == limit_) throw Broken{};
    }

private:
    std::size_t limit_;
    std::size_t written_ = 0;
};

Lines Render(const OutgoingMessage& message, const RenderContext& context = kContext) {
    RecordingWriter writer;
    RenderMessage(message, writer, context);
    return writer.lines;
}

// The message as it appears in a golden file: each line followed by a line feed.
std::string AsText(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string ReadGolden(const std::string& name) {
    std::ifstream in(std::string(TESSEL_SOURCE_DIR) + "/tests/data/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Compares with the golden file whole; on a difference the actual text is left next to the
// build for review.
void ExpectGolden(const std::string& name, const Lines& lines) {
    const std::string actual = AsText(lines);
    const std::string expected = ReadGolden(name);
    if (actual != expected) {
        std::ofstream(std::string(TESSEL_BINARY_DIR) + "/" + name + ".actual", std::ios::binary) << actual;
    }
    EXPECT_EQ(actual, expected) << "golden file " << name;
}

// Every golden message, old shapes and new: a message that was already correct keeps its bytes
// but for the Message-ID line.
TEST(RenderMessageTest, SamplesMatchTheirGoldenFiles) {
    test::TempDir dir;
    for (const samples::Sample& sample : samples::Samples(dir)) ExpectGolden(sample.Golden, Render(sample.Message));
}

TEST(RenderMessageTest, PlainEmptyMessageIsHeadersAndTwoEmptyLines) {
    OutgoingMessage m;
    m.Recipients = {{"", "you@example.org"}};
    EXPECT_EQ(Render(m), (Lines{"To: you@example.org", "Date: Tue, 5 Jan 2010 14:03:07 +0100", "", ""}));
}

TEST(RenderMessageTest, ToJoinsTheFormsOfAllRecipients) {
    // A recipient list may hold an entry with neither name nor address ("(comment);a@b").
    OutgoingMessage m;
    m.Recipients = {{"", ""}, {"", "you@example.org"}, {"", ""}, {"Me", "me@example.org"}};
    EXPECT_EQ(Render(m).front(), "To: , you@example.org, , \"Me\" <me@example.org>");
}

// The header lines of a rendering that begin with one of the MIME header names.
Lines MimeHeaders(const Lines& lines) {
    Lines found;
    for (const std::string& line : lines) {
        if (line.empty()) break;
        if (line.rfind("Content-", 0) == 0 || line.rfind("MIME-Version", 0) == 0) found.push_back(line);
    }
    return found;
}

const std::string kLongest(kMaxBodyLine, 'x');

TEST(RenderMessageTest, PlainMessageGetsMimeHeadersOnlyWhenItsBodyNeedsThem) {
    const struct {
        const char* name;
        Lines body;
        Lines headers;
    } cases[] = {
        {"ASCII", {"plain text  ", kLongest}, {}},
        {"8-bit", {"caf\xE9 cr\xE8me  "},
         {"Content-Type: text/plain; charset=ISO-8859-1", "MIME-Version: 1.0", "Content-Transfer-Encoding: 8bit"}},
        {"line over 998", {kLongest + "x"},
         {"Content-Type: text/plain", "MIME-Version: 1.0", "Content-Transfer-Encoding: quoted-printable"}},
        {"998 and a stuffed dot", {"." + kLongest.substr(1)},
         {"Content-Type: text/plain", "MIME-Version: 1.0", "Content-Transfer-Encoding: quoted-printable"}},
        {"8-bit and long", {"caf\xE9", kLongest + "x"},
         {"Content-Type: text/plain; charset=ISO-8859-1", "MIME-Version: 1.0",
          "Content-Transfer-Encoding: quoted-printable"}},
    };
    for (const auto& c : cases) {
        OutgoingMessage m = BaseMessage();
        m.Body = mime::BodyText::FromLines(c.body);
        const Lines lines = Render(m);
        EXPECT_EQ(MimeHeaders(lines), c.headers) << c.name;
        if (c.headers.empty() || c.headers.back().ends_with("8bit")) {
            EXPECT_TRUE(std::equal(c.body.begin(), c.body.end(), lines.end() - 1 - c.body.size())) << c.name;
        }
        for (const std::string& line : lines) EXPECT_LE(line.size(), kMaxBodyLine) << c.name;
    }
}

TEST(RenderMessageTest, TextPartLabelAndEncodingFollowBodyBytes) {
    test::TempDir dir;
    const std::string file = dir.Write("a.txt", "a");
    const RenderContext japanese{kContext.Boundary, kContext.Date, {"ISO-2022-JP", 'B', true}};
    const struct {
        Lines body;
        const RenderContext& context;
        const char* type;
        const char* encoding;
    } cases[] = {
        {{"plain"}, kContext, "Content-Type: text/plain", "Content-Transfer-Encoding: 7bit"},
        {{"plain", "caf\xE9"}, kContext, "Content-Type: text/plain; charset=ISO-8859-1",
         "Content-Transfer-Encoding: 8bit"},
        {{kLongest + "x"}, kContext, "Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable"},
        {{"\x93\xFA\x96\x7B"}, japanese, "Content-Type: text/plain; charset=Shift_JIS",
         "Content-Transfer-Encoding: 8bit"},
    };
    for (const auto& c : cases) {
        OutgoingMessage m = BaseMessage();
        m.Body = mime::BodyText::FromLines(c.body);
        m.Attachments = {{file, "a.txt"}};
        const Lines lines = Render(m, c.context);
        auto part = std::find(lines.begin(), lines.end(), "--" + kContext.Boundary);
        ASSERT_NE(part, lines.end());
        EXPECT_EQ(*(part + 1), c.type);
        EXPECT_EQ(*(part + 2), c.encoding);
    }
}

TEST(RenderMessageTest, MessageIdFollowsDateAndIsLeftOutWhenEmpty) {
    OutgoingMessage m = BaseMessage();
    Lines lines = Render(m);
    auto date = std::find(lines.begin(), lines.end(), "Date: " + kContext.Date);
    ASSERT_NE(date, lines.end());
    EXPECT_EQ(*(date + 1), "Message-ID: " + m.MessageId);

    m.MessageId.clear();
    lines = Render(m);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("Message-ID"); }),
              0);
}

// The base64 lines of the only attachment of a single-attachment message.
Lines Base64LinesOf(const std::string& content) {
    test::TempDir dir;
    OutgoingMessage m;
    m.Attachments = {{dir.Write("f.bin", content), "f.bin"}};
    Lines lines = Render(m);
    auto body = std::find(lines.begin(), lines.end(), "");
    return Lines(body + 1, lines.end() - 1);
}

TEST(RenderMessageTest, AttachmentIsWrittenFiftySevenBytesPerLine) {
    const Lines full = Base64LinesOf(std::string(57, 'x'));
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0].size(), 76u);

    const Lines oneMore = Base64LinesOf(std::string(58, 'x'));
    ASSERT_EQ(oneMore.size(), 2u);
    EXPECT_EQ(oneMore[0], full[0]);
    EXPECT_EQ(oneMore[1], "eA==");

    EXPECT_TRUE(Base64LinesOf("").empty());
}

// Base64Decoded - the bytes of base64 text (no line breaks, "=" padding).
std::string Base64Decoded(const std::string& text) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = (bits << 6) | static_cast<unsigned>(kAlphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return bytes;
}

TEST(RenderMessageTest, AttachmentsAroundTheReadBlockComeBackWholeInFullLines) {
    const std::size_t block = kBase64ChunkBytes * kBase64LinesPerRead;
    for (std::size_t size : {block - 1, block, block + 1, 2 * block + 5}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
        const Lines lines = Base64LinesOf(content);
        std::string joined;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i + 1 < lines.size()) {
                EXPECT_EQ(lines[i].size(), 76u) << "size " << size << ", line " << i;
            }
            joined += lines[i];
        }
        EXPECT_EQ(lines.size(), (size + kBase64ChunkBytes - 1) / kBase64ChunkBytes) << "size " << size;
        EXPECT_TRUE(Base64Decoded(joined) == content) << "size " << size;
    }
}

TEST(RenderMessageTest, TwoAttachmentsWithTheSameNameGiveTwoParts) {
    test::TempDir dir;
    OutgoingMessage m = BaseMessage();
    m.Attachments = {{dir.Write("a.txt", "one"), "same.txt"}, {dir.Write("b.txt", "two"), "same.txt"}};
    const Lines lines = Render(m);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "        filename=\"same.txt\""), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--" + kContext.Boundary), 2) << "no text part";
    EXPECT_NE(std::find(lines.begin(), lines.end(), "b25l"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "dHdv"), lines.end());
}

TEST(RenderMessageTest, MissingAttachmentFailsAfterTheLinesBeforeIt) {
    test::TempDir dir;
    OutgoingMessage m = BaseMessage();
    m.Body = mime::BodyText::FromLines({"text"});
    m.Attachments = {{dir.File("gone.txt"), "gone.txt"}};
    RecordingWriter writer;
    EXPECT_THROW(RenderMessage(m, writer, kContext), RenderError);
    ASSERT_FALSE(writer.lines.empty());
    EXPECT_EQ(writer.lines.back(), "--" + kContext.Boundary);
    EXPECT_NE(std::find(writer.lines.begin(), writer.lines.end(), "text"), writer.lines.end());
}

TEST(RenderMessageTest, WriterFailurePassesThrough) {
    OutgoingMessage m = BaseMessage();
    m.Body = mime::BodyText::FromLines({"text"});
    BrokenWriter writer(3);
    EXPECT_THROW(RenderMessage(m, writer, kContext), BrokenWriter::Broken);
}

TEST(RenderMessageTest, LineBreaksInSubjectAndNamesStayInsideTheirHeader) {
    OutgoingMessage m;
    m.From = {"Evil\r\nBcc: x@y.z", "me@example.com"};
    m.Sender = m.From;
    m.Recipients = {{"", "you@example.org"}};
    m.Subject = "Hi\r\nBcc: victim@example.net";
    const Lines lines = Render(m);
    EXPECT_EQ(lines[0], "From: \"Evil  Bcc: x@y.z\" <me@example.com>");
    EXPECT_EQ(lines[1], "Subject: Hi  Bcc: victim@example.net");
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
        EXPECT_NE(line.rfind("Bcc", 0), 0u) << line;
    }
}

TEST(RenderMessageTest, LongEncodedSubjectIsFoldedBetweenWholeEncodedWords) {
    OutgoingMessage m;
    std::string subject;
    for (int i = 0; i < 12; ++i) subject += "caf\xE9, cr\xE8me ";
    m.Subject = subject;
    const Lines lines = Render(m);
    ASSERT_GT(lines.size(), 3u);
    // Every line of the Subject header holds nothing but whole encoded-words.
    const std::regex encodedWords(R"(( =\?ISO-8859-1\?Q\?[^ ?,]*\?=)*)");
    ASSERT_EQ(lines[0].rfind("Subject:", 0), 0u);
    EXPECT_TRUE(std::regex_match(lines[0].substr(8), encodedWords)) << lines[0];
    std::size_t continuations = 0;
    for (std::size_t i = 1; i < lines.size() && lines[i].rfind(" ", 0) == 0; ++i, ++continuations) {
        EXPECT_TRUE(std::regex_match(lines[i], encodedWords)) << lines[i];
        EXPECT_LE(lines[i].size(), 78u);
    }
    EXPECT_GE(continuations, 3u);
}

TEST(RenderMessageTest, JapaneseConversionAppliesToPlainBodyOnly) {
    const RenderContext japanese{kContext.Boundary, kContext.Date, {"ISO-2022-JP", 'B', true}};
    const std::string nihon = "\x93\xFA\x96\x7B";
    const std::string converted = "\x1b$B\x46\x7C\x4B\x5C\x1b(B";

    OutgoingMessage plain;
    plain.Body = mime::BodyText::FromLines({nihon});
    Lines lines = Render(plain, japanese);
    EXPECT_EQ(lines[lines.size() - 2], converted);
    // Converted text is 7-bit, labelled with the charset it now is in.
    EXPECT_EQ(MimeHeaders(lines), (Lines{"Content-Type: text/plain; charset=ISO-2022-JP", "MIME-Version: 1.0",
                                         "Content-Transfer-Encoding: 7bit"}));

    test::TempDir dir;
    OutgoingMessage multipart = plain;
    multipart.Attachments = {{dir.Write("a.txt", "a"), "a.txt"}};
    lines = Render(multipart, japanese);
    EXPECT_NE(std::find(lines.begin(), lines.end(), nihon), lines.end());
}

TEST(FormatMailDateTest, DayMonthTimeAndZone) {
    auto tm = [](int year, int month, int day, int wday, int h, int m, int s) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_wday = wday;
        t.tm_hour = h;
        t.tm_min = m;
        t.tm_sec = s;
        return t;
    };
    EXPECT_EQ(FormatMailDate(tm(2010, 1, 5, 2, 14, 3, 7), 3600), "Tue, 5 Jan 2010 14:03:07 +0100");
    EXPECT_EQ(FormatMailDate(tm(1999, 12, 31, 5, 23, 59, 59), 20700), "Fri, 31 Dec 1999 23:59:59 +0545");
    EXPECT_EQ(FormatMailDate(tm(2024, 7, 14, 0, 0, 0, 0), 0), "Sun, 14 Jul 2024 00:00:00 +0000");
    EXPECT_EQ(FormatMailDate(tm(2024, 3, 9, 6, 8, 5, 9), -16200), "Sat, 9 Mar 2024 08:05:09 -0430");
}

TEST(MimeBoundaryTest, DrawsMapToSymbolsAndOnePair) {
    EXPECT_EQ(MakeMimeBoundary([] { return 0.0; }), "=_" + std::string(32, '0'));
    EXPECT_EQ(MakeMimeBoundary([] { return 0.99999; }), std::string(32, 'z') + "=_");
    // 61r + 1.5 at the edges between digits, capitals and small letters.
    const double draws[] = {9.0 / 61, 10.0 / 61, 35.0 / 61, 36.0 / 61};
    std::size_t next = 0;
    const std::string boundary = MakeMimeBoundary([&] { return next < 34 ? draws[next++ % 4] : 0.5; });
    EXPECT_EQ(boundary.substr(0, 4), "9AZa");
    EXPECT_EQ(boundary.substr(16, 2), "=_");
}

TEST(MimeBoundaryTest, ProcessBoundaryIsMadeOnceAndWellFormed) {
    const std::string& first = MimeBoundary();
    EXPECT_EQ(&first, &MimeBoundary());
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-Za-z]*=_[0-9A-Za-z]*"))) << first;
    EXPECT_EQ(first.size(), kBoundaryLength);

    const RenderContext context = CurrentRenderContext();
    EXPECT_EQ(context.Boundary, first);
    EXPECT_TRUE(std::regex_match(context.Date,
        std::regex(R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d [+-]\d{4})")))
        << context.Date;
}

}  // namespace
}  // namespace tessel::mime

namespace tessel::mime {
namespace {

TEST(RenderMessageTest, QuotesBackslashesAndControlBytesCannotEndTheQuotedFileName) {
    test::TempDir dir;
    const std::string path = dir.Write("f", "x");
    struct Case {
        std::string fileName, shown;
    } cases[] = {
        {"invoice.pdf\"; filename=\"invoice.exe", "invoice.pdf_; filename=_invoice.exe"},
        {"a\\\"b", "a__b"},
        {"back\\slash.txt", "back_slash.txt"},
        {"line\r\nbreak", "line  break"},
        {"x\x01y", "x_y"},
        {std::string("nul\0tab\tdel\x7F", 12), "nul_tab_del_"},
    };
    for (const Case& c : cases) {
        OutgoingMessage m = BaseMessage();
        m.Attachments = {{path, c.fileName}};
        const Lines lines = Render(m);
        EXPECT_NE(std::find(lines.begin(), lines.end(), "        name=\"" + c.shown + "\""), lines.end());
        EXPECT_NE(std::find(lines.begin(), lines.end(), "        filename=\"" + c.shown + "\""), lines.end());
    }
}

// A later message whose text knows the process's boundary cannot forge parts of its own.
TEST(RenderMessageTest, ATextHoldingTheProcessBoundaryGetsABoundaryOfItsOwn) {
    test::TempDir dir;
    OutgoingMessage m = BaseMessage();
    m.Body = mime::BodyText::FromLines({"text"});
    m.Attachments = {{dir.Write("a.txt", "one"), "a.txt"}};
    RecordingWriter first;
    RenderMessage(m, first);
    const std::string processBoundary = MimeBoundary();
    EXPECT_NE(std::find(first.lines.begin(), first.lines.end(),
                        "Content-Type: multipart/mixed; boundary=\"" + processBoundary + "\""),
              first.lines.end());

    OutgoingMessage forged = m;
    forged.Body = mime::BodyText::FromLines({"Hello", "--" + processBoundary, "Content-Type: text/html", "", "<b>pay</b>",
                        "--" + processBoundary + "--", "--" + processBoundary + "trailing"});
    RecordingWriter second;
    RenderMessage(forged, second);
    std::smatch match;
    std::string boundary;
    for (const std::string& line : second.lines) {
        if (std::regex_match(line, match, std::regex("Content-Type: multipart/mixed; boundary=\"(.*)\""))) {
            boundary = match[1];
        }
    }
    ASSERT_EQ(boundary.size(), kBoundaryLength);
    EXPECT_NE(boundary, processBoundary);
    // Exactly the message's own delimiters: the text part, the attachment, the end.
    std::size_t delimiters = 0;
    for (const std::string& line : second.lines) delimiters += line.starts_with("--" + boundary);
    EXPECT_EQ(delimiters, 3u);
    EXPECT_EQ(std::count(second.lines.begin(), second.lines.end(), "--" + boundary + "--"), 1);

    // A text sent quoted-printable cannot hold the boundary (its "=" becomes "=3D"): the message
    // keeps the process's boundary, and only its own delimiters begin with it.
    OutgoingMessage folded = m;
    folded.Body = mime::BodyText::FromLines({"--" + processBoundary + std::string(1000, 'b')});
    RecordingWriter fourth;
    RenderMessage(folded, fourth);
    ASSERT_NE(std::find(fourth.lines.begin(), fourth.lines.end(), "Content-Transfer-Encoding: quoted-printable"),
              fourth.lines.end());
    delimiters = 0;
    for (const std::string& line : fourth.lines) delimiters += line.starts_with("--" + processBoundary);
    EXPECT_EQ(delimiters, 3u);

    // Other messages keep the process's boundary.
    RecordingWriter third;
    RenderMessage(m, third);
    EXPECT_NE(std::find(third.lines.begin(), third.lines.end(),
                        "Content-Type: multipart/mixed; boundary=\"" + processBoundary + "\""),
              third.lines.end());
}

}  // namespace
}  // namespace tessel::mime
