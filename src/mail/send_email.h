// SendEmail over SMTP: compose one message, deliver it, release it.
#pragma once

#include "mail/mail_sender.h"
#include "mail/smtp_client.h"

namespace tessel::mail {

// SmtpMailSender - the sending routine of the spool drain.
class SmtpMailSender : public MailSender {
public:
    explicit SmtpMailSender(SessionTimeouts timeouts = {});

    // SendEmail - composes the message and delivers it in a session of its own. A sender or recipient
    // text the address parser refuses gives Failure(Address, its text) without any connection.
    // Never throws for a failed delivery; writes no log (the caller decides).
    DeliveryResult SendEmail(const std::string& sender, const std::string& recipient,
                             const std::string& subject, const std::string& body, const std::string& host,
                             const std::string& userName, const std::string& password,
                             const std::vector<std::string>& attachmentPaths, std::int32_t port,
                             bool useTls) override;

private:
    SessionTimeouts timeouts_;
};

}  // namespace tessel::mail
