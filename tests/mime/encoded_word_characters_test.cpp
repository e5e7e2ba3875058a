// Encoded-words hold whole characters: each one decoded alone is valid text in its charset, in every
// header that carries them, so that strict readers show what was written.
#include <gtest/gtest.h>

#include <regex>

#include "mime/attachment_name.h"
#include "mime/header_encoding.h"
#include "util/base64.h"
#include "util/iconv.h"

namespace tessel::mime {
namespace {

struct CharsetCase {
    HeaderCharset Charset;
    std::string Character;  // one multi-byte character in the text's code (Shift_JIS for Japanese)
};

// Every charset the locale table gives, and other codes the cutting must handle alike.
const std::vector<CharsetCase> kCharsets = {
    {{"GB2312", 'B', false}, "\xD6\xD0"},
    {{"Big5", 'B', false}, "\xA4\xA4"},
    {{"EUC-KR", 'B', false}, "\xC7\xD1"},
    {{"ISO-2022-JP", 'B', true}, "\x93\xFA"},
    {{"Shift_JIS", 'B', false}, "\x93\xFA"},
    {{"UTF-8", 'B', false}, "\xE2\x82\xAC"},
    {{"UTF-8", 'Q', false}, "\xF0\x9F\x98\x80"},
    {{"KOI8-R", 'B', false}, "\xC4"},
    {{"KOI8-U", 'B', false}, "\xA4"},
    {{"windows-1251", 'B', false}, "\xE4"},
    {{"ISO-8859-1", 'Q', false}, "\xE9"},
};

struct HeaderKind {
    const char* Name;
    std::string (*Render)(const std::string& text, const HeaderCharset& charset);
};

const HeaderKind kKinds[] = {
    {"Subject", [](const std::string& text, const HeaderCharset& cs) { return EncodeHeaderText(text, {}, cs); }},
    {"From", [](const std::string& text, const HeaderCharset& cs) {
         return FormatHeaderAddress({text, "from@example.com"}, true, cs);
     }},
    {"Sender", [](const std::string& text, const HeaderCharset& cs) {
         return FormatSenderAddress({text, "sender@example.com"}, cs);
     }},
    {"attachment name", [](const std::string& text, const HeaderCharset& cs) {
         std::string joined;
         for (const std::string& line : NameParameterLines(text + ".txt", cs)) joined += line + "\r\n";
         return joined;
     }},
};

std::string QDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            out += ' ';
        } else if (text[i] == '=' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string B64Decode(const std::string& text) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = (bits << 6) | static_cast<unsigned>(kAlphabet.find(c));
        if ((count += 6) >= 8) out += static_cast<char>((bits >> (count -= 8)) & 0xFF);
    }
    return out;
}

// ToUtf8 - the bytes as text of charset, or nullopt when they are not valid (or end inside a character).
std::optional<std::string> ToUtf8(const std::string& bytes, const std::string& charset) {
    Iconv decoder("UTF-8", charset.c_str());
    IconvStep step = decoder.Step(bytes);
    if (step.Outcome != IconvStep::Result::Done) return std::nullopt;
    return step.Output;
}

TEST(EncodedWordCharactersTest, EveryWordDecodedAloneIsValidTextInItsCharset) {
    const std::regex word(R"(=\?([^?]+)\?([BQ])\?([^?]*)\?=)");
    for (const CharsetCase& c : kCharsets) {
        // An odd number of ASCII bytes in front: cutting by bytes would split characters.
        std::string text = "x";
        for (int i = 0; i < 70; ++i) text += c.Character;
        const std::string wire = c.Charset.JapaneseConversion ? "Shift_JIS" : c.Charset.Name;
        const std::optional<std::string> whole = ToUtf8(text, wire);
        ASSERT_TRUE(whole) << wire;
        for (const HeaderKind& kind : kKinds) {
            SCOPED_TRACE(c.Charset.Name + "?" + c.Charset.Letter + " in " + kind.Name);
            const std::string header = kind.Render(text, c.Charset);
            std::string joined;
            int words = 0;
            for (std::sregex_iterator it(header.begin(), header.end(), word), end; it != end; ++it, ++words) {
                const std::smatch& m = *it;
                EXPECT_EQ(m[1].str(), c.Charset.Name);
                EXPECT_LE(m.length(0), 75);
                const std::string bytes = m[2] == "B" ? B64Decode(m[3]) : QDecode(m[3]);
                const std::optional<std::string> decoded = ToUtf8(bytes, c.Charset.Name);
                ASSERT_TRUE(decoded) << "a word that is no valid text alone: " << m.str();
                // A stateful code ends each word back in ASCII (RFC 1468).
                if (const std::size_t escape = bytes.rfind('\x1b'); escape != std::string::npos) {
                    EXPECT_EQ(bytes.substr(escape, 3), "\x1b(B") << "a word that does not end in ASCII: " << m.str();
                }
                joined += *decoded;
            }
            EXPECT_GT(words, 1) << header;
            EXPECT_TRUE(joined.starts_with(*whole)) << header;
        }
    }
}

// The same rule keeps single-byte text exactly as it was cut before: as many bytes as fit.
TEST(EncodedWordCharactersTest, SingleByteTextFillsEveryWord) {
    const std::string text(100, '\xE9');
    EXPECT_EQ(EncodeHeaderText(text, {}, {"KOI8-R", 'B', false}),
              "=?KOI8-R?B?" + Base64Encode(text.substr(0, 45)) + "?=\r\n =?KOI8-R?B?" +
                  Base64Encode(text.substr(45, 45)) + "?=\r\n =?KOI8-R?B?" + Base64Encode(text.substr(90)) + "?=");
    const std::string latin = EncodeHeaderText(std::string(30, '\xE9'), {}, {"ISO-8859-1", 'Q', false});
    std::string first = "=?ISO-8859-1?Q?";
    for (int i = 0; i < 19; ++i) first += "=E9";
    std::string second = "=?ISO-8859-1?Q?";
    for (int i = 0; i < 11; ++i) second += "=E9";
    EXPECT_EQ(latin, first + "?=\r\n " + second + "?=");
}

}  // namespace
}  // namespace tessel::mime
