// An independent SMTP peer for the transport tests: Debian's aiosmtpd, and test certificates.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/python_helper.h"
#include "support/temp_dir.h"

namespace tessel::test {

// AiosmtpdAvailable - /usr/bin/python3 can import aiosmtpd.
bool AiosmtpdAvailable();

// TestCertificate - PEM files of a self-signed certificate for CN=localhost and its key.
struct TestCertificate {
    std::string CertFile;
    std::string KeyFile;
};

// MakeTestCertificate - made with the openssl command in dir; expired: valid only in January 2020.
// Throws std::runtime_error when the command fails.
TestCertificate MakeTestCertificate(const std::string& dir, bool expired = false);

// CapturedMessage - what the sink stored for one accepted message.
struct CapturedMessage {
    std::string MailFrom;
    std::vector<std::string> Recipients;
    std::string Data;  // as received, dot-stuffing undone
    bool Tls = false;
    bool Authenticated = false;
    std::string AuthMechanism;  // the mechanism of the session's successful AUTH, empty without
};

// AiosmtpdServer - tests/support/smtp_capture.py on 127.0.0.1 at a free port, for the life of the object.
class AiosmtpdServer {
public:
    struct Options {
        std::string AuthUser;  // non-empty: AUTH (LOGIN or PLAIN) with AuthUser/AuthPassword is required
        std::string AuthPassword;
        const TestCertificate* StartTls = nullptr;  // set: STARTTLS is required, with this certificate
        // Offered mechanisms, space-separated, of LOGIN, PLAIN and XOAUTH2; empty: LOGIN PLAIN.
        std::string Mechanisms{};
        // XOAUTH2 accepts AuthUser with this bearer token only (a refusal goes the 334 way).
        std::string XOAuth2Token{};
        const TestCertificate* ImplicitTls = nullptr;  // set: TLS from the first byte, with this certificate
    };

    // Starts the sink and waits until it listens. Throws std::runtime_error when it does not start.
    explicit AiosmtpdServer(const Options& options);
    ~AiosmtpdServer();
    AiosmtpdServer(const AiosmtpdServer&) = delete;
    AiosmtpdServer& operator=(const AiosmtpdServer&) = delete;

    int Port() const { return helper_->Port(); }
    // Messages - the messages stored so far, in order of arrival.
    std::vector<CapturedMessage> Messages() const;
    // AuthAttempts - one line per AUTH command: the mechanism, then "ok" or "refused".
    std::vector<std::string> AuthAttempts() const;

private:
    TempDir dir_;
    std::unique_ptr<PythonHelper> helper_;
};

}  // namespace tessel::test
