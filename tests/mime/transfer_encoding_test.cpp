#include "mime/transfer_encoding.h"

#include <gtest/gtest.h>

namespace tessel::mime {
namespace {

using Lines = std::vector<std::string>;

// Decode - RFC 2045 quoted-printable back to bytes, soft line breaks joined.
std::string Decode(const Lines& lines) {
    std::string out;
    for (const std::string& line : lines) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] != '=') {
                out += line[i];
            } else if (i + 1 < line.size()) {
                out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            }
        }
    }
    return out;
}

TEST(QuotedPrintableTest, ShortLinesAreEncodedByteByByte) {
    const struct {
        std::string line;
        Lines encoded;
    } cases[] = {
        {"", {""}},
        {"plain text", {"plain text"}},
        {"a=b", {"a=3Db"}},
        {"caf\xE9", {"caf=E9"}},
        {"blank at end ", {"blank at end=20"}},
        {"tab at end\t", {"tab at end=09"}},
        {"inner\tand  blanks", {"inner\tand  blanks"}},
        {std::string("nul\0cr\r", 7), {"nul=00cr=0D"}},
        {".", {"."}},
    };
    for (const auto& c : cases) EXPECT_EQ(QuotedPrintableLines(c.line), c.encoded) << c.line;
}

TEST(QuotedPrintableTest, LongLinesAreCutBySoftBreaksNeverInsideAnEscape) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string cases[] = {std::string(76, 'x'), std::string(77, 'x'), std::string(2000, 'y'), all + all,
                                 std::string(74, 'x') + "\xE9\xE9", std::string(100, ' ')};
    for (const std::string& line : cases) {
        const Lines encoded = QuotedPrintableLines(line);
        for (std::size_t i = 0; i < encoded.size(); ++i) {
            EXPECT_LE(encoded[i].size(), kMaxQuotedPrintableLine);
            if (i + 1 < encoded.size()) {
                EXPECT_EQ(encoded[i].back(), '=');
                // A cut escape would leave "=" or "=X" before the soft break.
                const std::size_t eq = encoded[i].rfind('=', encoded[i].size() - 2);
                EXPECT_TRUE(eq == std::string::npos || eq + 3 <= encoded[i].size() - 1) << encoded[i];
            }
            EXPECT_NE(encoded[i].back(), ' ');
        }
        EXPECT_EQ(Decode(encoded), line);
    }
    EXPECT_EQ(QuotedPrintableLines(std::string(76, 'x')).size(), 1u);
    EXPECT_EQ(QuotedPrintableLines(std::string(77, 'x')).size(), 2u);
}

TEST(TextBodyFormTest, LabelFollowsTheSourceAndEncodingTheSentLines) {
    const std::string longest(kMaxBodyLine, 'x');
    const struct {
        const char* name;
        Lines source, sent;
        TextBodyForm form;
    } cases[] = {
        {"empty", {}, {}, {"", TransferEncoding::SevenBit}},
        {"ASCII, longest line", {longest}, {longest}, {"", TransferEncoding::SevenBit}},
        {"one byte more", {longest + "x"}, {longest + "x"}, {"", TransferEncoding::QuotedPrintable}},
        {"stuffed past the limit", {"." + longest.substr(1)}, {"." + longest.substr(1)},
         {"", TransferEncoding::QuotedPrintable}},
        {"8-bit", {"\xE9"}, {"\xE9"}, {"CS", TransferEncoding::EightBit}},
        {"converted to 7-bit", {"\x93\xFA"}, {"\x1b$BF|\x1b(B"}, {"CS", TransferEncoding::SevenBit}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TextBodyFormOf(BodyText::FromLines(c.source), BodyText::FromLines(c.sent), "CS"), c.form)
            << c.name;
    }
}

}  // namespace
}  // namespace tessel::mime
