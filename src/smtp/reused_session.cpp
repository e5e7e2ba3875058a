#include "smtp/reused_session.h"

#include <algorithm>

namespace tessel::smtp {

ReusedSession::ReusedSession(SessionTimeouts timeouts, TransportConnector connector)
    : timeouts_(timeouts), connector_(std::move(connector)) {}

ReusedSession::~ReusedSession() {
    End();
}

void ReusedSession::End() noexcept {
    if (client_) {
        try {
            client_->Quit();
        } catch (const std::exception&) {
            // Only a failure to allocate gets here; the connection is closed with the client.
        }
        client_.reset();
    }
    messages_ = 0;
}

DeliveryResult ReusedSession::Deliver(const Envelope& envelope, const MessageText& text,
                                      const SmtpAccount& server) {
    std::int32_t limit = std::max<std::int32_t>(1, server.MessagesPerSession);
    if (client_ && (!(server == account_) || !client_->Idle())) {
        End();
    }
    if (limit == 1 && !client_) {
        return DeliverMessage(envelope, text, server, timeouts_, connector_);
    }
    bool kept = client_ != nullptr;
    DeliveryResult result = Transact(envelope, text, server);
    if (!result.Delivered && kept && result.Stage == FailureStage::Session) {
        // The kept session failed before the message reached the server: a new one may take it.
        result = Transact(envelope, text, server);
    }
    if (result.Delivered && ++messages_ >= limit) {
        End();
    }
    return result;
}

DeliveryResult ReusedSession::Transact(const Envelope& envelope, const MessageText& text,
                                       const SmtpAccount& server) {
    if (!client_) {
        SmtpAccount account = server;
        account.Port = SessionPort(server.Port, server.UseTls);
        client_ = std::make_unique<SmtpClient>(std::move(account), timeouts_, connector_);
        account_ = server;
        messages_ = 0;
    }
    DeliveryResult result = client_->Transact(envelope, text);
    if (!result.Delivered && result.Stage != FailureStage::Address) {
        client_.reset();  // the failure ended the session
        messages_ = 0;
    }
    return result;
}

}  // namespace tessel::smtp
