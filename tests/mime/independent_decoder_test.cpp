// Every golden message read back by an independent parser (Python's email package, policy=default):
// the texts, names and attachment bytes come back as they were composed.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "mime/compose.h"
#include "sample_messages.h"

namespace tessel::mime {
namespace {

using Json = nlohmann::json;

class TextWriter : public LineWriter {
public:
    // As a server stores it: CR LF line ends, dot-stuffing undone.
    void WriteLine(std::string_view line) override {
        if (!line.empty() && line.front() == '.') line.remove_prefix(1);
        Text.append(line);
        Text.append("\r\n");
    }
    std::string Text;
};

std::string Latin1ToUtf8(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto v = static_cast<unsigned char>(c);
        if (v < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (v >> 6));
            out += static_cast<char>(0x80 | (v & 0x3F));
        }
    }
    return out;
}

std::string Hex(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        out += kHex[static_cast<unsigned char>(c) >> 4];
        out += kHex[static_cast<unsigned char>(c) & 0xF];
    }
    return out;
}

// Decode - the parser's view of the file, or null when python3 could not run it.
Json Decode(const std::string& path) {
    const std::string command =
        "/usr/bin/python3 " + std::string(TESSEL_SOURCE_DIR) + "/tests/support/decode_message.py " + path;
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    if (!pipe) return nullptr;
    std::string output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) output.append(buffer, got);
    return Json::parse(output, nullptr, false);
}

bool IsBlank(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (line.find_first_not_of(" \t") != std::string::npos) return false;
    }
    return true;
}

// The text the parser must give back: the lines with their line ends; a plain message also
// carries the renderer's closing empty line.
std::string ExpectedText(const OutgoingMessage& message) {
    std::string text;
    for (std::string_view line : message.Body) text += Latin1ToUtf8(std::string(line)) + "\n";
    return message.Attachments.empty() ? text + "\n" : text;
}

TEST(IndependentDecoderTest, EveryGoldenMessageDecodesToWhatWasComposed) {
    tessel::test::TempDir dir;
    for (const samples::Sample& sample : samples::Samples(dir)) {
        SCOPED_TRACE(sample.Golden);
        const OutgoingMessage& message = sample.Message;
        TextWriter writer;
        RenderMessage(message, writer, samples::kContext);
        const Json decoded = Decode(dir.Write(sample.Golden, writer.Text));
        ASSERT_TRUE(decoded.is_object()) << "python3 could not decode the message";

        EXPECT_EQ(decoded["subject"], Latin1ToUtf8(message.Subject));
        EXPECT_EQ(decoded["message_id"], message.MessageId);
        const std::string name = message.Sender.Name.empty() ? message.Sender.Address : message.Sender.Name;
        EXPECT_EQ(decoded["from"], Json::array({Latin1ToUtf8(message.From.Name.empty() ? message.From.Address
                                                                                        : message.From.Name),
                                                message.From.Address}));
        EXPECT_EQ(decoded["sender"][1], message.Sender.Address);
        if (!message.Sender.Name.empty()) {
            EXPECT_EQ(decoded["sender"][0], Latin1ToUtf8(name));
        }

        const Json& parts = decoded["parts"];
        std::size_t next = 0;
        if (message.Attachments.empty() || !IsBlank(mime::SplitBodyLines(message.Body.Text()))) {
            ASSERT_GT(parts.size(), next);
            EXPECT_EQ(parts[next]["type"], "text/plain");
            EXPECT_EQ(parts[next]["text"], ExpectedText(message));
            ++next;
        }
        ASSERT_EQ(parts.size(), next + message.Attachments.size());
        for (std::size_t i = 0; i < message.Attachments.size(); ++i, ++next) {
            EXPECT_EQ(parts[next]["filename"], Latin1ToUtf8(message.Attachments[i].FileName));
            EXPECT_EQ(parts[next]["hex"], Hex(sample.AttachmentBytes[i]));
        }
    }
}

// Japanese: the plain body converted to ISO-2022-JP, the text part and the attachment name left in
// Shift_JIS; each labelled so that the parser gives back the same characters.
TEST(IndependentDecoderTest, JapaneseMessagesDecodeToTheirCharacters) {
    const RenderContext japanese{samples::kContext.Boundary, samples::kContext.Date, {"ISO-2022-JP", 'B', true}};
    const std::string nihon = "\x93\xFA\x96\x7B";          // "Japan" in Shift_JIS
    const std::string nihonUtf8 = "\xE6\x97\xA5\xE6\x9C\xAC";  // the same two characters in UTF-8
    tessel::test::TempDir dir;

    OutgoingMessage plain = samples::BaseMessage();
    plain.Subject = nihon;
    plain.From = {nihon, "jp@example.com"};
    plain.Sender = plain.From;
    plain.Body = mime::BodyText::FromLines({nihon + " text"});
    OutgoingMessage multipart = plain;
    multipart.Attachments = {{dir.Write("a.bin", "abc"), nihon + ".txt"}};

    for (const OutgoingMessage* message : {&plain, &multipart}) {
        TextWriter writer;
        RenderMessage(*message, writer, japanese);
        const Json decoded = Decode(dir.Write("japanese.eml", writer.Text));
        ASSERT_TRUE(decoded.is_object()) << "python3 could not decode the message";
        EXPECT_EQ(decoded["subject"], nihonUtf8);
        EXPECT_EQ(decoded["sender"][0], nihonUtf8);
        const Json& parts = decoded["parts"];
        ASSERT_EQ(parts.size(), 1 + message->Attachments.size());
        EXPECT_EQ(parts[0]["text"], nihonUtf8 + " text\n" + (message->Attachments.empty() ? "\n" : ""));
        if (!message->Attachments.empty()) {
            EXPECT_EQ(parts[0]["charset"], "shift_jis");
            EXPECT_EQ(parts[1]["filename"], nihonUtf8 + ".txt");
            EXPECT_EQ(parts[1]["hex"], Hex("abc"));
        }
    }
}

}  // namespace
}  // namespace tessel::mime
