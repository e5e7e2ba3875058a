// RenderMessage over random messages: no rendered line is a lone ".", no line holds CR or LF, every
// body line that begins with "." went out with one more, and no body line goes out longer than
// 998 bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mime/compose.h"
#include "mime/render.h"
#include "mime/transfer_encoding.h"

namespace {

class CollectingWriter : public tessel::mime::LineWriter {
public:
    void WriteLine(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

// Takes the next NUL-separated field of the input.
std::string NextField(std::string& rest) {
    std::size_t nul = rest.find('\0');
    std::string field = rest.substr(0, nul);
    rest = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
    return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessel::mime;
    std::string rest(reinterpret_cast<const char*>(data), size);
    OutgoingMessage message;
    message.From.Name = NextField(rest);
    message.From.Address = NextField(rest);
    message.Sender = message.From;
    message.Recipients.push_back({NextField(rest), NextField(rest)});
    message.Subject = NextField(rest);
    message.Body = BodyText(rest);

    RenderContext context{"0123456789ABCDEFGH=_abcdefghijklmn", "Thu, 1 Jan 2026 00:00:00 +0000",
                          HeaderCharsetForLocale("C")};
    CollectingWriter writer;
    RenderMessage(message, writer, context);

    std::size_t stuffed = 0, dotted = 0;
    for (std::string_view body : message.Body) dotted += !body.empty() && body[0] == '.';
    bool inBody = false;  // without attachments, everything after the header block is body
    for (const std::string& line : writer.lines) {
        if (line == ".") std::abort();
        if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos) std::abort();
        if (inBody && line.size() > kMaxBodyLine) std::abort();
        inBody = inBody || line.empty();
        stuffed += line.size() >= 2 && line[0] == '.' && line[1] == '.';
    }
    if (stuffed < dotted) std::abort();
    return 0;
}
