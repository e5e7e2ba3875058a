// DeliverMessage: one message to the SMTP server in one session of its own.
#pragma once

#include <cstdint>
#include <string>

#include "smtp/delivery_result.h"
#include "smtp/smtp_client.h"

namespace tessel::smtp {

// kImplicitTlsPort - with STARTTLS requested this port is replaced by kSubmissionFallbackPort, since
// such a session starts in plain text. With implicit TLS the port is used as configured.
inline constexpr std::int32_t kImplicitTlsPort = 465;
inline constexpr std::int32_t kSubmissionFallbackPort = 25;

// SessionPort - the port actually connected to (465 becomes 25 when startTls).
std::int32_t SessionPort(std::int32_t port, bool startTls);

// DeliverMessage - delivers text to the envelope's addresses at server (its port after the port
// rule), authenticating (LOGIN, PLAIN or XOAUTH2, see ChooseMechanism) when a user name is set, over
// TLS from the first byte or after STARTTLS when the account asks for it. Never throws for a failed
// delivery: the result tells where it failed and why. Writes no log.
DeliveryResult DeliverMessage(const Envelope& envelope, const MessageText& text, const SmtpAccount& server,
                              const SessionTimeouts& timeouts = {},
                              const TransportConnector& connector = ConnectLine);

}  // namespace tessel::smtp
