// Sending one e-mail: composed with the message layer, delivered by the SMTP layer.
#pragma once

#include <string>
#include <vector>

#include "mail/mail_sender.h"
#include "mime/message.h"
#include "mime/message_id.h"
#include "smtp/deliver.h"
#include "smtp/reused_session.h"
#include "util/stop_signal.h"

namespace tessel::mail {

// EnvelopeRecipients - the recipients' plain forms joined by ", " and read back with the address
// parser: the addresses named in RCPT TO. Throws AddressError.
std::vector<std::string> EnvelopeRecipients(const mime::OutgoingMessage& message);

// MessageEnvelope - the envelope of message: its From and its recipients read back
// (EnvelopeRecipients). Throws AddressError.
smtp::Envelope MessageEnvelope(const mime::OutgoingMessage& message);

// RenderedText - message rendered straight into a session's data phase; message must outlive it.
smtp::MessageText RenderedText(const mime::OutgoingMessage& message);

// DeliverMessage - message to server in a session of its own: the envelope from its From and its
// recipients read back, the text rendered during the data phase. Recipients the parser refuses give
// Failure(Address, its text) without any connection. Never throws for a failed delivery.
smtp::DeliveryResult DeliverMessage(const mime::OutgoingMessage& message, const smtp::SmtpAccount& server,
                              const smtp::SessionTimeouts& timeouts = {},
                              const smtp::TransportConnector& connector = smtp::ConnectLine);

// MessageIdFor - the Message-ID of the composed message of row rowId: from the row, the recipients'
// addresses and the row's texts, its right side the name the session announces (email.helo or the
// host name), keyed with key (mime::MessageIdKey). Throws tessel::Error only when the digest cannot
// be computed.
std::string MessageIdFor(const mime::OutgoingMessage& message, std::int32_t rowId, const std::string& sender,
                         const std::string& subject, std::string_view body, const smtp::SmtpAccount& server,
                         std::string_view key);

// SmtpMailSender - the sending routine of the spool drain.
class SmtpMailSender : public MailSender {
public:
    // stop - when given, raising it cuts short every wait of a session before its final ".".
    explicit SmtpMailSender(smtp::SessionTimeouts timeouts = {}, const StopSignal* stop = nullptr,
                            smtp::TransportConnector connector = smtp::ConnectLine);

    // SendEmail - composes the message, with a Message-ID that every attempt of this row and
    // recipient shares (MessageIdFor), and delivers it: in a session of its own, or through the
    // session kept open for up to the account's MessagesPerSession messages. A sender or recipient
    // text the address parser refuses gives Failure(Address, its text) without any connection.
    // Never throws for a failed delivery; writes no log (the caller decides).
    smtp::DeliveryResult SendEmail(const std::string& sender, const std::string& recipient,
                                   const std::string& subject, std::string_view body,
                                   const std::vector<std::string>& attachmentPaths,
                                   const smtp::SmtpAccount& server, std::int32_t rowId) override;

    // EndSession - QUIT on the session kept open, if any.
    void EndSession() noexcept override;

    // SetMessageIdKey - the key of every later Message-ID (mime::MessageIdKey of the database login).
    void SetMessageIdKey(std::string key) { messageIdKey_ = std::move(key); }

private:
    const StopSignal* stop_;
    std::string messageIdKey_ = mime::MessageIdKey("", "");
    smtp::ReusedSession session_;
};

}  // namespace tessel::mail
