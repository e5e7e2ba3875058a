// The sending routine the spool drain calls, behind an interface so tests can record the calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mail/delivery_result.h"

namespace tessel::mail {

class MailSender {
public:
    virtual ~MailSender() = default;

    // SendEmail - one message to one recipient text, with the cycle's SMTP settings.
    // Arguments in the order the drain passes them.
    virtual DeliveryResult SendEmail(const std::string& sender, const std::string& recipient,
                                           const std::string& subject, const std::string& body,
                                           const std::string& host, const std::string& userName,
                                           const std::string& password,
                                           const std::vector<std::string>& attachmentPaths,
                                           std::int32_t port, bool useTls) = 0;
};

}  // namespace tessel::mail
