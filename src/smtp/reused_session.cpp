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
    if (!client_) {
        client_ = std::make_unique<SmtpClient>(server, timeouts_, connector_);
        account_ = server;
    }
    DeliveryResult result = client_->Transact(envelope, text, client_->Messages() + 1 >= limit);
    if (result.Error != ErrorKind::None && result.Error != ErrorKind::Address) {
        client_.reset();  // the failure ended the session
    } else if (client_->Messages() >= limit) {
        End();
    }
    return result;
}

}  // namespace tessel::smtp
