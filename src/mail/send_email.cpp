#include "mail/send_email.h"

#include "mime/address_parser.h"
#include "mime/compose.h"
#include "mime/header_encoding.h"
#include "mime/line_writer.h"
#include "mime/render.h"

namespace tessel::mail {

using smtp::DeliveryResult;
using smtp::FailureStage;
namespace {

// SessionLineWriter - the renderer's lines go straight to the session's data phase.
class SessionLineWriter : public mime::LineWriter {
public:
    explicit SessionLineWriter(const smtp::WriteLineFn& writeLine) : writeLine_(writeLine) {}
    void WriteLine(std::string_view line) override { writeLine_(line); }

private:
    const smtp::WriteLineFn& writeLine_;
};

}  // namespace

std::vector<std::string> EnvelopeRecipients(const mime::OutgoingMessage& message) {
    std::string joined;
    for (const mime::MailAddress& recipient : message.Recipients) {
        if (!joined.empty()) {
            joined += ", ";
        }
        joined += mime::FormatPlainAddress(recipient);
    }
    std::vector<std::string> addresses;
    for (mime::MailAddress& entry : mime::ParseAddressList(joined)) {
        addresses.push_back(std::move(entry.Address));
    }
    return addresses;
}

smtp::DeliveryResult DeliverMessage(const mime::OutgoingMessage& message, const smtp::SmtpAccount& server,
                              const smtp::SessionTimeouts& timeouts,
                              const smtp::TransportConnector& connector) {
    smtp::Envelope envelope;
    try {
        envelope.Recipients = EnvelopeRecipients(message);
    } catch (const tessel::Error& e) {
        return DeliveryResult::Failure(FailureStage::Address, e.what());
    }
    envelope.Sender = message.From.Address;
    smtp::MessageText text = [&message](const smtp::WriteLineFn& writeLine) {
        SessionLineWriter writer(writeLine);
        mime::RenderMessage(message, writer);
    };
    return smtp::DeliverMessage(envelope, text, server, timeouts, connector);
}

SmtpMailSender::SmtpMailSender(smtp::SessionTimeouts timeouts, const StopSignal* stop)
    : timeouts_(timeouts), stop_(stop) {}

DeliveryResult SmtpMailSender::SendEmail(const std::string& sender, const std::string& recipient,
                                         const std::string& subject, const std::string& body,
                                         const std::vector<std::string>& attachmentPaths,
                                         const smtp::SmtpAccount& server) {
    mime::OutgoingMessage message;
    try {
        message = mime::ComposeMessage(sender, recipient, subject, body, attachmentPaths);
    } catch (const mime::AddressError& e) {
        return DeliveryResult::Failure(FailureStage::Address, e.what());
    }
    smtp::StoppableWaits stoppable(stop_ != nullptr ? stop_->Fd() : -1);
    return DeliverMessage(message, server, timeouts_);
}

}  // namespace tessel::mail
