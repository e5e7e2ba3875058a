// Building an OutgoingMessage from the plain texts of a queued message.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mime/message.h"

namespace tessel::mime {

// SplitBodyLines - the body cut at every CR LF, lone LF and lone CR (LF CR is two breaks);
// the text ends at its first NUL; a break at the very end starts no further line; an empty
// text gives no lines. Never throws.
std::vector<std::string> SplitBodyLines(std::string_view body);

// ComposeMessage - From and Sender parsed from senderText, Recipients from recipientText,
// the subject unchanged, the body as lines, and one attachment for each path that names an
// existing regular file (others are skipped silently; nothing is opened). FileName is the
// path's last component. Throws AddressError from the parsers.
OutgoingMessage ComposeMessage(const std::string& senderText, const std::string& recipientText,
                               const std::string& subject, const std::string& body,
                               const std::vector<std::string>& attachmentPaths);

}  // namespace tessel::mime
