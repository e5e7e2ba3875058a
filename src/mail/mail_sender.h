// The sending routine the spool drain calls, behind an interface so tests can record the calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/delivery_result.h"
#include "smtp/smtp_account.h"

namespace tessel::mail {

class MailSender {
public:
    virtual ~MailSender() = default;

    // SendEmail - one message of queue row rowId to one recipient text, through the cycle's mail
    // server and account. body is read during the call only.
    virtual smtp::DeliveryResult SendEmail(const std::string& sender, const std::string& recipient,
                                           const std::string& subject, std::string_view body,
                                           const std::vector<std::string>& attachmentPaths,
                                           const smtp::SmtpAccount& server, std::int32_t rowId) = 0;

    // EndSession - the drain has ended: a session kept open for further messages is closed.
    // Never throws.
    virtual void EndSession() noexcept {}
};

}  // namespace tessel::mail
