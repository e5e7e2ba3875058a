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
    std::vector<std::string> lines;
    for (std::string_view line : BodyText::Borrowed(body)) lines.emplace_back(line);
    return lines;
}

OutgoingMessage ComposeMessage(const std::string& senderText, const std::string& recipientText,
                               const std::string& subject, std::string_view body,
                               const std::vector<std::string>& attachmentPaths) {
    OutgoingMessage message;
    message.From = ParseMailAddress(senderText);
    message.Sender = ParseMailAddress(senderText);
    message.Recipients = ParseAddressList(recipientText);
    message.Subject = subject;
    message.Body = BodyText::Borrowed(body);
    for (const std::string& path : attachmentPaths) {
        if (IsRegularFile(path)) message.Attachments.push_back({path, LastPathComponent(path)});
    }
    return message;
}

}  // namespace tessel::mime
