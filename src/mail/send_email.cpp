#include "mail/send_email.h"

#include "mail/address_parser.h"
#include "mail/compose.h"
#include "mail/deliver.h"

namespace tessel::mail {

SmtpMailSender::SmtpMailSender(SessionTimeouts timeouts) : timeouts_(timeouts) {}

DeliveryResult SmtpMailSender::SendEmail(const std::string& sender, const std::string& recipient,
                                         const std::string& subject, const std::string& body,
                                         const std::string& host, const std::string& userName,
                                         const std::string& password,
                                         const std::vector<std::string>& attachmentPaths, std::int32_t port,
                                         bool useTls) {
    OutgoingMessage message;
    try {
        message = ComposeMessage(sender, recipient, subject, body, attachmentPaths);
    } catch (const AddressError& e) {
        return DeliveryResult::Failure(FailureStage::Address, e.what());
    }
    return DeliverMessage(message, host, userName, password, port, useTls, timeouts_);
}

}  // namespace tessel::mail
