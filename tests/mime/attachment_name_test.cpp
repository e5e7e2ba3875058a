#include "mime/attachment_name.h"

#include <gtest/gtest.h>

#include "mime/header_lines.h"
#include "sample_messages.h"

namespace tessel::mime {
namespace {

using Lines = std::vector<std::string>;

using samples::kLatin;
const HeaderCharset kJapanese{"ISO-2022-JP", 'B', true};

TEST(AttachmentNameTest, AsciiNamesStayAsTheyWere) {
    EXPECT_EQ(NameParameterLines("report 1.txt", kLatin), Lines{"        name=\"report 1.txt\""});
    EXPECT_EQ(FilenameParameterLines("report 1.txt", kLatin), Lines{"        filename=\"report 1.txt\""});
}

TEST(AttachmentNameTest, EightBitNameIsAnEncodedWordAndAnRfc2231Value) {
    EXPECT_EQ(NameParameterLines("relat\xF3rio mar\xE7o.txt", kLatin),
              Lines{"        name=\"=?ISO-8859-1?Q?relat=F3rio_mar=E7o.txt?=\""});
    EXPECT_EQ(FilenameParameterLines("relat\xF3rio mar\xE7o.txt", kLatin),
              Lines{"        filename*=ISO-8859-1''relat%F3rio%20mar%E7o.txt"});
    // Quote and backslash can never close the quoted value or escape out of it.
    EXPECT_EQ(NameParameterLines("\xE9\"\\", kLatin), Lines{"        name=\"=?ISO-8859-1?Q?=E9=22=5C?=\""});
    EXPECT_EQ(FilenameParameterLines("\xE9\"\\;'*%", kLatin),
              Lines{"        filename*=ISO-8859-1''%E9%22%5C%3B%27%2A%25"});
}

TEST(AttachmentNameTest, LongEightBitNameIsCutIntoWholePieces) {
    const std::string name = std::string(60, '\xE9') + "-" + std::string(60, 'a') + ".txt";
    const Lines words = NameParameterLines(name, kLatin);
    ASSERT_GT(words.size(), 1u);
    EXPECT_TRUE(words.front().starts_with("        name=\"=?ISO-8859-1?Q?"));
    EXPECT_TRUE(words.back().ends_with("?=\""));
    for (std::size_t i = 1; i < words.size(); ++i) EXPECT_TRUE(words[i].starts_with(" =?ISO-8859-1?Q?")) << words[i];

    const Lines values = FilenameParameterLines(name, kLatin);
    ASSERT_GT(values.size(), 1u);
    std::string joined;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string head = "        filename*" + std::to_string(i) + "*=";
        ASSERT_TRUE(values[i].starts_with(head)) << values[i];
        EXPECT_LE(values[i].size(), kFoldWidth);
        const bool last = i + 1 == values.size();
        EXPECT_EQ(values[i].back() == ';', !last) << values[i];
        joined += values[i].substr(head.size(), values[i].size() - head.size() - (last ? 0 : 1));
    }
    std::string expected = "ISO-8859-1''";
    for (int i = 0; i < 60; ++i) expected += "%E9";
    EXPECT_EQ(joined, expected + "-" + std::string(60, 'a') + ".txt");
}

TEST(AttachmentNameTest, JapaneseNameIsConvertedInTheWordAndLabelledShiftJisInTheValue) {
    const std::string nihon = "\x93\xFA\x96\x7B.txt";
    EXPECT_EQ(NameParameterLines(nihon, kJapanese), Lines{"        name=\"=?ISO-2022-JP?B?GyRCRnxLXBsoQi50eHQ=?=\""});
    EXPECT_EQ(FilenameParameterLines(nihon, kJapanese), Lines{"        filename*=Shift_JIS''%93%FA%96%7B.txt"});
}

}  // namespace
}  // namespace tessel::mime
