// One SMTP reply: code, enhanced status code and text lines, and how reply lines are read.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.h"

namespace tessel::smtp {

// EnhancedStatusCode - class.subject.detail as the server wrote them ("5.1.1").
struct EnhancedStatusCode {
    std::string Class;
    std::string Subject;
    std::string Detail;
    std::string Text() const { return Class + "." + Subject + "." + Detail; }
    bool operator==(const EnhancedStatusCode&) const = default;
};

// SmtpReply - the last reply read; replaced by every reply.
struct SmtpReply {
    std::string Code;      // at most 4 characters from the first line
    int NumericCode = 0;   // the code as a number, 0 when it is not a whole number
    std::optional<EnhancedStatusCode> EnhancedStatus;
    std::vector<std::string> TextLines;

    // HasValidCode - the code is a whole number from 100 to 999.
    bool HasValidCode() const { return NumericCode >= 100 && NumericCode <= 999; }
    // Describe - code, enhanced status code and text lines on one line, for failure reports.
    std::string Describe() const;
};

// TrimReplyText - the text without blanks and control bytes at both ends.
std::string_view TrimReplyText(std::string_view text);

// EndsReply - a line shorter than 4 characters, or with a space as 4th character, ends the reply.
bool EndsReply(std::string_view line);

// ParseReply - a complete reply from its lines (the first already trimmed). Never throws; an invalid
// code shows as NumericCode 0.
SmtpReply ParseReply(const std::vector<std::string>& lines);

// SmtpReplyError - the server answered with a code the session does not accept (or an invalid one).
class SmtpReplyError : public tessel::Error {
public:
    SmtpReplyError(std::string_view command, SmtpReply reply);
    const SmtpReply& Reply() const { return reply_; }

private:
    SmtpReply reply_;
};

// ReplyTextOf - the described reply of an SmtpReplyError; empty for any other error.
std::string ReplyTextOf(const std::exception& error);

}  // namespace tessel::smtp
