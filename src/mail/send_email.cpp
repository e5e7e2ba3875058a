#include "mail/send_email.h"

#include "mime/address_parser.h"
#include "mime/compose.h"
#include "mime/header_encoding.h"
#include "mime/line_writer.h"
#include "mime/message_id.h"
#include "mime/render.h"
#include "smtp/helo_name.h"

namespace tessel::mail {

using smtp::DeliveryResult;
using smtp::ErrorKind;
using smtp::SessionState;
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

smtp::Envelope MessageEnvelope(const mime::OutgoingMessage& message) {
    smtp::Envelope envelope;
    envelope.Recipients = EnvelopeRecipients(message);
    envelope.Sender = message.From.Address;
    return envelope;
}

smtp::MessageText RenderedText(const mime::OutgoingMessage& message) {
    return [&message](const smtp::WriteLineFn& writeLine) {
        SessionLineWriter writer(writeLine);
        mime::RenderMessage(message, writer);
    };
}

smtp::DeliveryResult DeliverMessage(const mime::OutgoingMessage& message, const smtp::SmtpAccount& server,
                              const smtp::SessionTimeouts& timeouts,
                              const smtp::TransportConnector& connector) {
    smtp::Envelope envelope;
    try {
        envelope = MessageEnvelope(message);
    } catch (const tessel::Error& e) {
        return DeliveryResult::Failure(ErrorKind::Address, SessionState::Connect, e.what());
    }
    return smtp::DeliverMessage(envelope, RenderedText(message), server, timeouts, connector);
}

std::string MessageIdFor(const mime::OutgoingMessage& message, std::int32_t rowId, const std::string& sender,
                         const std::string& subject, std::string_view body, const smtp::SmtpAccount& server,
                         std::string_view key) {
    // The parsed addresses, not the recipient text: a rewritten recipient list may space it differently.
    std::string recipients;
    for (const mime::MailAddress& recipient : message.Recipients) recipients += recipient.Address + "\n";
    return mime::MakeMessageId({rowId, recipients, sender, subject, body}, smtp::HeloName(server), key);
}

SmtpMailSender::SmtpMailSender(smtp::SessionTimeouts timeouts, const StopSignal* stop,
                               smtp::TransportConnector connector)
    : stop_(stop), session_(timeouts, std::move(connector)) {}

DeliveryResult SmtpMailSender::SendEmail(const std::string& sender, const std::string& recipient,
                                         const std::string& subject, std::string_view body,
                                         const std::vector<std::string>& attachmentPaths,
                                         const smtp::SmtpAccount& server, std::int32_t rowId) {
    mime::OutgoingMessage message;
    smtp::Envelope envelope;
    try {
        message = mime::ComposeMessage(sender, recipient, subject, body, attachmentPaths);
        envelope = MessageEnvelope(message);
    } catch (const mime::AddressError& e) {
        return DeliveryResult::Failure(ErrorKind::Address, SessionState::Connect, e.what());
    }
    message.MessageId = MessageIdFor(message, rowId, sender, subject, body, server, messageIdKey_);
    smtp::StoppableWaits stoppable(stop_ != nullptr ? stop_->Fd() : -1);
    DeliveryResult result = session_.Deliver(envelope, RenderedText(message), server);
    result.MessageId = message.MessageId;
    return result;
}

void SmtpMailSender::EndSession() noexcept {
    // A stop need not wait for the server's goodbye: every message of the session was answered.
    smtp::StoppableWaits stoppable(stop_ != nullptr ? stop_->Fd() : -1);
    session_.End();
}

}  // namespace tessel::mail
