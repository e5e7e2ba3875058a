#include "smtp/deliver.h"

namespace tessel::smtp {

std::int32_t SessionPort(std::int32_t port, bool startTls) {
    return startTls && port == kImplicitTlsPort ? kSubmissionFallbackPort : port;
}

DeliveryResult DeliverMessage(const Envelope& envelope, const MessageText& text, const SmtpAccount& server,
                              const SessionTimeouts& timeouts, const TransportConnector& connector) {
    SmtpAccount account = server;
    account.Port = SessionPort(server.Port, server.UseTls && !server.ImplicitTls);
    SmtpClient client(std::move(account), timeouts, connector);
    return client.Deliver(envelope, text);
}

}  // namespace tessel::smtp
