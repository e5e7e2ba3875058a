#include "mime/header_encoding.h"

#include <gtest/gtest.h>

#include "mime/address_parser.h"
#include "sample_messages.h"
#include "util/base64.h"

namespace tessel::mime {
namespace {

using samples::kLatin;
const HeaderCharset kCyrillic{"KOI8-R", 'B', false};

// The encoded-words of a header text split at the CR LF space between them.
std::vector<std::string> EncodedWords(const std::string& encoded) {
    std::vector<std::string> words;
    std::size_t from = 0;
    for (;;) {
        std::size_t to = encoded.find("\r\n ", from);
        words.push_back(encoded.substr(from, to == std::string::npos ? std::string::npos : to - from));
        if (to == std::string::npos) return words;
        from = to + 3;
    }
}

TEST(HeaderCharsetTest, FollowsLanguageOfLocale) {
    const struct {
        const char* locale;
        const char* name;
        char letter;
        bool japanese;
    } cases[] = {
        {"", "ISO-8859-1", 'Q', false},          {"C", "ISO-8859-1", 'Q', false},
        {"POSIX", "ISO-8859-1", 'Q', false},     {"pt_PT.UTF-8@euro", "ISO-8859-1", 'Q', false},
        {"zh_CN.GB18030", "GB2312", 'B', false}, {"zh_SG", "GB2312", 'B', false},
        {"zh_TW.UTF-8", "Big5", 'B', false},     {"zh_HK", "Big5", 'B', false},
        {"zh", "Big5", 'B', false},              {"ja_JP.SJIS", "ISO-2022-JP", 'B', true},
        {"ko_KR.EUC-KR", "EUC-KR", 'B', false}, {"ru_RU.KOI8-R", "KOI8-R", 'B', false},
        {"uk_UA.UTF-8", "windows-1251", 'B', false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale);
        HeaderCharset charset = HeaderCharsetForLocale(c.locale);
        EXPECT_EQ(charset.Name, c.name);
        EXPECT_EQ(charset.Letter, c.letter);
        EXPECT_EQ(charset.JapaneseConversion, c.japanese);
    }
}

TEST(EncodeHeaderTextTest, EncodesOnlyTheWordsThatNeedIt) {
    const struct {
        std::string text;
        std::string specials;
        std::string expected;
    } cases[] = {
        {"", "", ""},
        {"Plain ASCII subject, with = and ?", "", "Plain ASCII subject, with = and ?"},
        {"one two thr\xE9" "e four", "", "one two =?ISO-8859-1?Q?thr=E9e?= four"},
        {"\xE9t\xE9 \xE0 Paris", "", "=?ISO-8859-1?Q?=E9t=E9_=E0?= Paris"},
        // White space after the last word belongs to a stretch still open at the end.
        {"caf\xE9 ", "", "=?ISO-8859-1?Q?caf=E9_?="},
        {"caf\xE9 \t", "", "=?ISO-8859-1?Q?caf=E9_=09?="},
        {"caf\xE9 noir ", "", "=?ISO-8859-1?Q?caf=E9?= noir "},
        {"  caf\xE9\tnoir", "", "  =?ISO-8859-1?Q?caf=E9?=\tnoir"},
        // The comma inside an encoded-word is escaped so that folding cannot cut the word.
        {"caf\xE9, cr\xE8me", "", "=?ISO-8859-1?Q?caf=E9=2C_cr=E8me?="},
        {"J\xFCrgen, M.", std::string(kNameSpecials), "=?ISO-8859-1?Q?J=FCrgen=2C_M=2E?="},
        {"a_b? \xE9=", "", "a_b? =?ISO-8859-1?Q?=E9=3D?="},
        // A literal encoded-word makes every word holding "=" encoded.
        {"a=b =?ISO-8859-1?Q?abc?= c", "",
         "=?ISO-8859-1?Q?a=3Db_=3D=3FISO-8859-1=3FQ=3Fabc=3F=3D?= c"},
        {"x =?windows-1252?B?QUJD?=", "", "x =?ISO-8859-1?Q?=3D=3Fwindows-1252=3FB=3FQUJD=3F=3D?="},
        {"x =?utf-8?Q?abc?=", "", "x =?utf-8?Q?abc?="},
        {std::string("a\0b c=d", 7), "", "=?ISO-8859-1?Q?a=00b_c=3Dd?="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(EncodeHeaderText(c.text, c.specials, kLatin), c.expected);
    }
}

TEST(EncodeHeaderTextTest, QWordsStayWithinSeventyFiveBytes) {
    const std::string text(100, '\xE9');
    const std::vector<std::string> words = EncodedWords(EncodeHeaderText(text, "", kLatin));
    ASSERT_GE(words.size(), 2u);
    std::size_t encodedBytes = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        SCOPED_TRACE(word);
        EXPECT_LE(word.size(), kMaxEncodedWord);
        if (i + 1 < words.size()) {
            EXPECT_GT(word.size(), kMaxEncodedWord - 3) << "only the last word may be short";
        }
        ASSERT_EQ(word.substr(0, 15), "=?ISO-8859-1?Q?");
        encodedBytes += (word.size() - 17) / 3;
    }
    EXPECT_EQ(encodedBytes, text.size());
}

TEST(EncodeHeaderTextTest, BWordsHoldWholeGroupsOfFour) {
    std::string text;
    for (int i = 0; i < 100; ++i) text += static_cast<char>(0xC0 + i % 32);
    const std::vector<std::string> words = EncodedWords(EncodeHeaderText(text, "", kCyrillic));
    ASSERT_GE(words.size(), 2u);
    std::string joined;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        SCOPED_TRACE(word);
        EXPECT_LE(word.size(), kMaxEncodedWord);
        if (i + 1 < words.size()) {
            // The count starts at the opening's length plus 2: 13 + 15 groups of 4 reach 73.
            EXPECT_EQ(word.size(), 73u) << "only the last word may be short";
        }
        ASSERT_EQ(word.substr(0, 11), "=?KOI8-R?B?");
        ASSERT_EQ(word.substr(word.size() - 2), "?=");
        const std::string payload = word.substr(11, word.size() - 13);
        EXPECT_EQ(payload.size() % 4, 0u);
        joined += payload;
    }
    EXPECT_EQ(joined, Base64Encode(text));
}

TEST(EncodeHeaderTextTest, JapaneseTextIsConvertedThenEncoded) {
    const HeaderCharset japanese{"ISO-2022-JP", 'B', true};
    EXPECT_EQ(EncodeHeaderText("Re: \x93\xFA\x96\x7B", "", japanese),
              "Re: =?ISO-2022-JP?B?" + Base64Encode("\x1b$BF|K\\\x1b(B") + "?=");
}

TEST(AddressFormsTest, HeaderAndPlainForms) {
    const struct {
        MailAddress address;
        const char* headerWithName;     // nameFromAddress
        const char* headerWithoutName;  // as in To
        const char* plain;
    } cases[] = {
        {{"First Last", "local@domain"}, "\"First Last\" <local@domain>", "\"First Last\" <local@domain>",
         "First Last <local@domain>"},
        {{"", "local@domain"}, "\"local@domain\" <local@domain>", "local@domain", "local@domain"},
        {{"Last, First", "a@b.c"}, "\"Last, First\" <a@b.c>", "\"Last, First\" <a@b.c>",
         "\"Last, First\" <a@b.c>"},
        {{"Jo \"Q\" \\X", "a@b.c"}, "\"Jo \\\"Q\\\" \\\\X\" <a@b.c>", "\"Jo \\\"Q\\\" \\\\X\" <a@b.c>",
         "\"Jo \\\"Q\\\" \\\\X\" <a@b.c>"},
        {{"J\xFCrgen", "a@b.c"}, "=?ISO-8859-1?Q?J=FCrgen?= <a@b.c>", "=?ISO-8859-1?Q?J=FCrgen?= <a@b.c>",
         "\"J\xFCrgen\" <a@b.c>"},
        {{"A@B.C", "a@b.c"}, "\"A@B.C\" <a@b.c>", "\"A@B.C\" <a@b.c>", "<a@b.c>"},
        {{"Name", ""}, "\"Name\" <>", "\"Name\" <>", "Name <>"},
        {{"", "john doe@x.y"}, "\"john doe@x.y\" <john doe@x.y>", "john doe@x.y", "<\"john doe\"@x.y>"},
        {{"", "first.last@x.y"}, "\"first.last@x.y\" <first.last@x.y>", "first.last@x.y", "first.last@x.y"},
        // The circumflex is no atom byte: the local part is quoted.
        {{"", "a^b@x.y"}, "\"a^b@x.y\" <a^b@x.y>", "a^b@x.y", "<\"a^b\"@x.y>"},
        {{"", ""}, "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address.Name + " / " + c.address.Address);
        EXPECT_EQ(FormatHeaderAddress(c.address, true, kLatin), c.headerWithName);
        EXPECT_EQ(FormatHeaderAddress(c.address, false, kLatin), c.headerWithoutName);
        EXPECT_EQ(FormatPlainAddress(c.address), c.plain);
    }
}

TEST(AddressFormsTest, SenderFormEncodesOnlyAnEightBitName) {
    const struct {
        MailAddress address;
        const char* sender;
    } cases[] = {
        {{"First Last", "local@domain"}, "First Last <local@domain>"},
        {{"Last, First", "a@b.c"}, "\"Last, First\" <a@b.c>"},
        {{"", "local@domain"}, "local@domain"},
        {{"Sec\xE7\xE3o de Arquivo", "arquivo@x.y"}, "=?ISO-8859-1?Q?Sec=E7=E3o?= de Arquivo <arquivo@x.y>"},
        {{"Ren\xE9, Jo", "a@b.c"}, "=?ISO-8859-1?Q?Ren=E9=2C?= Jo <a@b.c>"},
        {{"J\xFCrgen", "john doe@x.y"}, "=?ISO-8859-1?Q?J=FCrgen?= <\"john doe\"@x.y>"},
        {{"J\xFCrgen\r\nBcc: v@x.y", "a@b.c"}, "=?ISO-8859-1?Q?J=FCrgen__Bcc=3A_v=40x=2Ey?= <a@b.c>"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatSenderAddress(c.address, kLatin), c.sender) << c.address.Name;
}

TEST(AddressFormsTest, LineBreaksInNameAndAddressBecomeSpaces) {
    const MailAddress evil{"Evil\r\nBcc: x@y.z", "a@b.c\r\nX-Injected: 1"};
    EXPECT_EQ(FormatHeaderAddress(evil, false, kLatin), "\"Evil  Bcc: x@y.z\" <a@b.c  X-Injected: 1>");
    EXPECT_EQ(FormatPlainAddress(evil), "\"Evil  Bcc: x@y.z\" <a@b.c  X-Injected: 1>");
    EXPECT_EQ(HeaderSafeText("a\rb\nc\r\nd"), "a b c  d");
}

TEST(AddressFormsTest, PlainFormsReadBackAsTheSameEntries) {
    const std::vector<MailAddress> recipients = {
        {"Last, First", "a@b.c"}, {"First Last", "d@e.f"}, {"", "g@h.i"}};
    std::string text;
    for (const MailAddress& r : recipients) text += (text.empty() ? "" : ", ") + FormatPlainAddress(r);
    EXPECT_EQ(ParseAddressList(text), recipients);
}

}  // namespace
}  // namespace tessel::mime
