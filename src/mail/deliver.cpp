#include "mail/deliver.h"

namespace tessel::mail {

std::int32_t SessionPort(std::int32_t port, bool useTls) {
    return useTls && port == kImplicitTlsPort ? kSubmissionFallbackPort : port;
}

DeliveryResult DeliverMessage(const OutgoingMessage& message, const std::string& host,
                              const std::string& userName, const std::string& password,
                              std::int32_t port, bool useTls, const SessionTimeouts& timeouts) {
    return DeliverMessage(message, host, userName, password, port, useTls, timeouts, ConnectLine);
}

DeliveryResult DeliverMessage(const OutgoingMessage& message, const std::string& host,
                              const std::string& userName, const std::string& password,
                              std::int32_t port, bool useTls, const SessionTimeouts& timeouts,
                              const TransportConnector& connector) {
    SmtpClient client(SmtpAccount{host, SessionPort(port, useTls), userName, password, useTls}, timeouts,
                      connector);
    return client.Deliver(message);
}

}  // namespace tessel::mail
