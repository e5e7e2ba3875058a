#include "smtp/deliver.h"

namespace tessel::smtp {

DeliveryResult DeliverMessage(const Envelope& envelope, const MessageText& text, const SmtpAccount& server,
                              const SessionTimeouts& timeouts, const TransportConnector& connector) {
    SmtpClient client(server, timeouts, connector);
    return client.Deliver(envelope, text);
}

}  // namespace tessel::smtp
