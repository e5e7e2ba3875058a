// DeliverMessage: one message to the SMTP server in one session of its own.
#pragma once

#include "smtp/delivery_result.h"
#include "smtp/smtp_client.h"

namespace tessel::smtp {

// DeliverMessage - delivers text to the envelope's addresses at server (its ConnectPort),
// authenticating (LOGIN, PLAIN or XOAUTH2, see ChooseMechanism) when a user name is set, over TLS
// from the first byte or after STARTTLS when the account asks for it. Never throws for a failed
// delivery: the result holds the facts. Writes no log.
DeliveryResult DeliverMessage(const Envelope& envelope, const MessageText& text, const SmtpAccount& server,
                              const SessionTimeouts& timeouts = {},
                              const TransportConnector& connector = ConnectLine);

}  // namespace tessel::smtp
