#include "smtp/smtp_reply.h"

#include <algorithm>

#include "util/record_text.h"

namespace tessel::smtp {

namespace {

bool IsBlankOrControl(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= 32 || byte == 127;
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ParseEnhancedStatus - "2.1.0": a class beginning with 2, 4 or 5 (only its first character is
// looked at), then two non-empty numbers.
std::optional<EnhancedStatusCode> ParseEnhancedStatus(std::string_view word) {
    std::size_t first = word.find('.');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t second = word.find('.', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view cls = word.substr(0, first);
    std::string_view subject = word.substr(first + 1, second - first - 1);
    std::string_view detail = word.substr(second + 1);
    if (cls.empty() || (cls[0] != '2' && cls[0] != '4' && cls[0] != '5') || !AllDigits(subject) ||
        !AllDigits(detail)) {
        return std::nullopt;
    }
    return EnhancedStatusCode{std::string(cls), std::string(subject), std::string(detail)};
}

int NumericReplyCode(std::string_view code) {
    if (!AllDigits(code) || code.size() > 3) {
        return 0;
    }
    int value = 0;
    for (char c : code) {
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string_view TrimReplyText(std::string_view text) {
    while (!text.empty() && IsBlankOrControl(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlankOrControl(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool EndsReply(std::string_view line) {
    return line.size() < 4 || line[3] == ' ';
}

SmtpReply ParseReply(const std::vector<std::string>& lines) {
    SmtpReply reply;
    if (lines.empty()) {
        return reply;
    }
    std::string code(TrimReplyText(std::string_view(lines.front()).substr(0, 4)));
    if (code.size() == 4 && code[3] == '-') {
        code.resize(3);
    }
    reply.Code = code;
    reply.NumericCode = NumericReplyCode(code);
    for (const std::string& line : lines) {
        std::string_view text = line.size() > 4 ? std::string_view(line).substr(4) : std::string_view();
        std::size_t space = text.find(' ');
        std::string_view word = text.substr(0, space);
        if (word.empty()) {
            reply.EnhancedStatus.reset();
            text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        } else if (auto status = ParseEnhancedStatus(word)) {
            reply.EnhancedStatus = std::move(status);
            text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        }
        reply.TextLines.emplace_back(text);
    }
    return reply;
}

std::string SmtpReply::Describe() const {
    std::string text = Code;
    if (EnhancedStatus) {
        text += " " + EnhancedStatus->Text();
    }
    for (const std::string& line : TextLines) {
        if (!line.empty()) {
            text += " " + line;
        }
    }
    // The server's text goes into records: made safe, and no longer than a record needs.
    return PeerText(text);
}

SmtpReplyError::SmtpReplyError(std::string_view command, SmtpReply reply)
    : Error(std::string(command) + (reply.HasValidCode() ? " answered " : " answered with an invalid code: ") +
            reply.Describe()),
      reply_(std::move(reply)) {}

std::string ReplyTextOf(const std::exception& error) {
    const auto* refusal = dynamic_cast<const SmtpReplyError*>(&error);
    return refusal ? refusal->Reply().Describe() : std::string();
}

}  // namespace tessel::smtp
