#include "mime/header_lines.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tessel::mime {
namespace {

using Lines = std::vector<std::string>;

std::string Joined(const Lines& lines) {
    std::string out;
    for (const std::string& line : lines) out += line;
    return out;
}

TEST(FoldHeaderLineTest, LinesOfAtMostSeventyNineBytesStayWhole) {
    for (std::size_t length : {10u, 78u, 79u}) {
        std::string line = "Subject: " + std::string(length - 9, 'x');
        for (std::size_t i = 15; i + 1 < line.size(); i += 7) line[i] = ' ';
        SCOPED_TRACE(line);
        EXPECT_EQ(FoldHeaderLine(line), (Lines{line}));
    }
    EXPECT_EQ(FoldHeaderLine("Subject: trailing blanks   "), (Lines{"Subject: trailing blanks"}));
}

TEST(FoldHeaderLineTest, CutsAfterTheLastBreakWithinTheWidth) {
    const std::string line = "Subject: " + std::string(60, 'a') + " " + std::string(20, 'b');
    EXPECT_EQ(FoldHeaderLine(line), (Lines{"Subject: " + std::string(60, 'a'), " " + std::string(20, 'b')}));
    const std::string unbreakable = "Subject:" + std::string(100, 'c');
    EXPECT_EQ(FoldHeaderLine(unbreakable), (Lines{unbreakable}));
}

TEST(FoldHeaderLineTest, FoldsExactlyWhereTheWalkCuts) {
    const std::string a(69, 'a');
    const std::string b(77, 'b');
    const std::string c(10, 'c');
    const std::string x(68, 'x');
    const struct {
        const char* label;
        std::string line;
        Lines expected;
    } cases[] = {
        // The blank just past the width is skipped at the cut and so never becomes a fold
        // point: the next cut is only at the following blank.
        {"skipped blank is no fold point", "Subject: " + a + " " + b + " " + c,
         {"Subject:", " " + a + " " + b, " " + c}},
        // Blanks skipped at a cut still start the continuation line.
        {"skipped blanks carried over", "Subject: " + x + "   " + c, {"Subject: " + x, "   " + c}},
        // A cut whose rest is a single byte adds no break.
        {"one byte left", "Subject: " + x + " z", {"Subject: " + x + " z"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(FoldHeaderLine(c.line), c.expected);
    }
}

// A To header of many recipients, each entry made by entry(i).
template <typename Entry>
std::string ToHeader(Entry entry) {
    std::string to = "To: ";
    for (int i = 0; i < 12; ++i) to += (i > 0 ? ", " : "") + entry(i);
    return to;
}

TEST(FoldHeaderLineTest, LongToIsCutAfterTheCommasBetweenAddresses) {
    const std::string to = ToHeader([](int i) { return "user" + std::to_string(i) + "@example.com"; });
    const Lines lines = FoldHeaderLine(to);
    ASSERT_GE(lines.size(), 3u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_LE(lines[i].size(), 78u);
        if (i > 0) {
            EXPECT_EQ(lines[i].substr(0, 5), " user");
        }
        if (i + 1 < lines.size()) {
            EXPECT_EQ(lines[i].back(), ',');
        }
    }
    EXPECT_EQ(Joined(lines), to);
}

TEST(FoldHeaderLineTest, LongToIsNeverCutInsideAQuotedName) {
    const std::string to = ToHeader([](int i) {
        return "\"Name " + std::to_string(i) + ", Person\" <user" + std::to_string(i) + "@example.com>";
    });
    const Lines lines = FoldHeaderLine(to);
    ASSERT_GE(lines.size(), 3u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), '"') % 2, 0) << "cut inside quotes";
        if (i > 0) {
            EXPECT_EQ(lines[i][0], ' ');
        }
    }
    EXPECT_EQ(Joined(lines), to);
}

TEST(FoldHeaderLineTest, LongQuotedNameIsNotCut) {
    const std::string line = "To: \"" + std::string(40, 'a') + " " + std::string(40, 'b') + "\" <a@b.c>";
    EXPECT_EQ(FoldHeaderLine(line),
              (Lines{"To: \"" + std::string(40, 'a') + " " + std::string(40, 'b') + "\"", " <a@b.c>"}));
}

TEST(FoldHeaderLineTest, EncodedWordBreaksBecomeLineBreaks) {
    const std::string first = "=?ISO-8859-1?Q?" + std::string(50, 'x') + "?=";
    const std::string second = "=?ISO-8859-1?Q?y?=";
    EXPECT_EQ(FoldHeaderLine("Subject: " + first + "\r\n " + second), (Lines{"Subject: " + first, " " + second}));
}

TEST(FoldHeaderLineTest, BlankContinuationLinesAreDropped) {
    // An empty line would end the header block in the middle of it.
    EXPECT_EQ(FoldHeaderLine("X-Test: a\r\n \r\n b"), (Lines{"X-Test: a", " b"}));
}

TEST(HeaderLinesTest, SetAppendsReplacesInPlaceAndRemoves) {
    HeaderLines headers;
    headers.Set("From", "a@b.c");
    headers.Set("Subject", "first");
    headers.Set("Date", "today");
    EXPECT_EQ(headers.Lines(), (Lines{"From: a@b.c", "Subject: first", "Date: today"}));

    const std::string longValue = std::string(60, 'x') + " " + std::string(30, 'y');
    headers.Set("subject", longValue);
    EXPECT_EQ(headers.Lines(), (Lines{"From: a@b.c", "subject: " + std::string(60, 'x'),
                                      " " + std::string(30, 'y'), "Date: today"}));

    headers.Set("SUBJECT", "");
    EXPECT_EQ(headers.Lines(), (Lines{"From: a@b.c", "Date: today"}));
    headers.Set("To", "");
    EXPECT_EQ(headers.Lines(), (Lines{"From: a@b.c", "Date: today"}));
}

}  // namespace
}  // namespace tessel::mime
