// Where and as whom the sessions deliver.
#pragma once

#include <cstdint>
#include <string>

namespace tessel::smtp {

// OAuthClient - the OAuth 2.0 token endpoint and the client registered there, for XOAUTH2.
struct OAuthClient {
    std::string TokenUrl;      // https:// only; empty: no OAuth
    std::string ClientId;
    std::string ClientSecret;
    std::string Scope;
    std::string RefreshToken;  // set: refresh-token grant; empty: client-credentials grant
    std::string CaPath;        // PEM file or directory the endpoint is checked against; empty: system store
    std::string KeyFile{};     // service-account JSON key: JWT bearer grant to its token_uri (TokenUrl unused)
    std::string Subject{};     // the mailbox a service account acts for (the assertion's sub)

    // Configured - a token endpoint or a service-account key is set: XOAUTH2 can be used.
    bool Configured() const { return !TokenUrl.empty() || !KeyFile.empty(); }

    bool operator==(const OAuthClient&) const = default;
};

// kImplicitTlsPort - with STARTTLS this port is replaced by kSubmissionFallbackPort, since such a
// session starts in plain text. With implicit TLS the port is used as configured.
inline constexpr std::int32_t kImplicitTlsPort = 465;
inline constexpr std::int32_t kSubmissionFallbackPort = 25;

// SmtpAccount - the mail server, the account used with it and what the TLS connection must prove.
// Every session connects to ConnectPort(). The TLS checks apply only when the session uses TLS.
struct SmtpAccount {
    std::string Host;
    std::int32_t Port = 25;
    std::string UserName;  // empty: no authentication
    std::string Password;
    bool UseTls = false;  // STARTTLS after the first EHLO
    std::string AuthMechanism{};  // "login", "plain", "xoauth2" (any case); empty: chosen from the offer
    OAuthClient OAuth{};
    std::string Helo{};  // the name sent with EHLO/HELO; empty: the machine's host name
    bool TlsVerify = false;       // the certificate must chain to a trusted CA and name Host
    std::string TlsCa{};          // PEM file or hashed directory of trusted CAs; empty: the system's
    std::string TlsPins{};        // SHA-256 fingerprints of accepted server keys, ";"-separated
    bool ImplicitTls = false;     // TLS from the first byte, on Port as it stands; no STARTTLS

    // WantsTls - the session runs over TLS, whichever way it starts.
    bool WantsTls() const { return UseTls || ImplicitTls; }
    // ConnectPort - the port actually connected to: Port, except 465 with STARTTLS, which becomes 25.
    std::int32_t ConnectPort() const {
        return UseTls && !ImplicitTls && Port == kImplicitTlsPort ? kSubmissionFallbackPort : Port;
    }
    // MessagesPerSession - how many messages one session may carry (1: a session per message).
    std::int32_t MessagesPerSession = 1;

    bool operator==(const SmtpAccount&) const = default;
};

}  // namespace tessel::smtp
