// DeliverMessage: one composed message to the SMTP server in one session of its own.
#pragma once

#include <cstdint>
#include <string>

#include "mail/delivery_result.h"
#include "mail/message.h"
#include "mail/smtp_client.h"

namespace tessel::mail {

// kImplicitTlsPort - with TLS requested this port is replaced by kSubmissionFallbackPort, since the
// session always starts in plain text and switches with STARTTLS.
inline constexpr std::int32_t kImplicitTlsPort = 465;
inline constexpr std::int32_t kSubmissionFallbackPort = 25;

// SessionPort - the port actually connected to (465 becomes 25 when TLS is requested).
std::int32_t SessionPort(std::int32_t port, bool useTls);

// DeliverMessage - delivers message to host:port (after the port rule), authenticating with AUTH LOGIN
// when a user name is set and the server offers it, switching to TLS after STARTTLS when useTls.
// Never throws for a failed delivery: the result tells where it failed and why. Writes no log.
DeliveryResult DeliverMessage(const OutgoingMessage& message, const std::string& host,
                              const std::string& userName, const std::string& password,
                              std::int32_t port, bool useTls, const SessionTimeouts& timeouts = {});

// DeliverMessage - the same through a given connector (tests observe the connection made).
DeliveryResult DeliverMessage(const OutgoingMessage& message, const std::string& host,
                              const std::string& userName, const std::string& password,
                              std::int32_t port, bool useTls, const SessionTimeouts& timeouts,
                              const TransportConnector& connector);

}  // namespace tessel::mail
