// The message model: one composed e-mail.
#pragma once

#include <string>
#include <vector>

#include "mime/body_lines.h"

namespace tessel::mime {

// MailAddress - a display name and an address ("local@domain", no angle brackets); both may be empty.
struct MailAddress {
    std::string Name;
    std::string Address;
    bool operator==(const MailAddress&) const = default;
};

// MessageAttachment - a file to attach: read from StoredPath while rendering, shown as FileName.
struct MessageAttachment {
    std::string StoredPath;
    std::string FileName;
    bool operator==(const MessageAttachment&) const = default;
};

// OutgoingMessage - everything the renderer and the SMTP session need; complete once composed.
struct OutgoingMessage {
    MailAddress From;
    MailAddress Sender;
    std::vector<MailAddress> Recipients;
    std::string Subject;
    BodyText Body;
    std::vector<MessageAttachment> Attachments;
    std::string MessageId;  // the Message-ID value, angle brackets included; empty: no such header
};

}  // namespace tessel::mime
