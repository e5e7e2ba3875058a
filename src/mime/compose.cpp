#include "mime/compose.h"

#include <sys/stat.h>

#include "mime/address_parser.h"

namespace tessel::mime {

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string LastPathComponent(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<std::string> SplitBodyLines(std::string_view body) {
    body = body.substr(0, body.find('\0'));
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < body.size()) {
        const char c = body[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.emplace_back(body.substr(start, i - start));
        i += (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < body.size()) lines.emplace_back(body.substr(start));
    return lines;
}

OutgoingMessage ComposeMessage(const std::string& senderText, const std::string& recipientText,
                               const std::string& subject, const std::string& body,
                               const std::vector<std::string>& attachmentPaths) {
    OutgoingMessage message;
    message.From = ParseMailAddress(senderText);
    message.Sender = ParseMailAddress(senderText);
    message.Recipients = ParseAddressList(recipientText);
    message.Subject = subject;
    message.BodyLines = SplitBodyLines(body);
    for (const std::string& path : attachmentPaths) {
        if (IsRegularFile(path)) message.Attachments.push_back({path, LastPathComponent(path)});
    }
    return message;
}

}  // namespace tessel::mime
