// Building an OutgoingMessage from the plain texts of a queued message.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mime/message.h"

namespace tessel::mime {

// SplitBodyLines - the body's lines (BodyText) as strings. Never throws (but std::bad_alloc).
std::vector<std::string> SplitBodyLines(std::string_view body);

// ComposeMessage - From and Sender parsed from senderText, Recipients from recipientText,
// the subject unchanged, the body borrowed (not copied: it must outlive the message), and one attachment for each path that names an
// existing regular file (others are skipped silently; nothing is opened). FileName is the
// path's last component. Throws AddressError from the parsers.
OutgoingMessage ComposeMessage(const std::string& senderText, const std::string& recipientText,
                               const std::string& subject, std::string_view body,
                               const std::vector<std::string>& attachmentPaths);

}  // namespace tessel::mime
