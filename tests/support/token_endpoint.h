// An OAuth 2.0 token endpoint of the tests' own: tests/support/token_endpoint.py over HTTPS with a
// certificate made at start (or plain HTTP), answering what the test scripts.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/aiosmtpd_server.h"
#include "support/python_helper.h"
#include "support/temp_dir.h"

namespace tessel::test {

// TokenAnswer - one answer of the endpoint.
struct TokenAnswer {
    int Status = 200;
    std::string Body;
    double DelaySeconds = 0;  // waited before answering
};

// TokenRequest - what one request carried.
struct TokenRequest {
    std::string Path;
    std::string ContentType;
    std::map<std::string, std::string> Form;
    // With a JWT key: the assertion's header and claims (JSON text, "null" when it was no JWT), and
    // whether its signature checked with the key.
    std::string JwtHeader;
    std::string JwtClaims;
    bool JwtSignatureValid = false;
};

class TokenEndpoint {
public:
    enum class Scheme { Https, Http };

    // Starts the endpoint on 127.0.0.1 and waits until it listens. Throws std::runtime_error.
    explicit TokenEndpoint(Scheme scheme = Scheme::Https);
    // Starts an HTTPS endpoint that checks JWT bearer assertions against jwtPublicKey (a PEM file).
    explicit TokenEndpoint(const std::string& jwtPublicKey);

    // Url - the endpoint's address: https://localhost:<port>/tenant/oauth2/v2.0/token (or http://).
    std::string Url() const;
    // CaFile - the PEM certificate the endpoint presents (self-signed, CN=localhost).
    const std::string& CaFile() const { return certificate_.CertFile; }

    // Answer - the answers from the next request on, in order; the last one repeats.
    void Answer(const std::vector<TokenAnswer>& answers);
    // Requests - every request so far, in order.
    std::vector<TokenRequest> Requests() const;

    // Token - a 200 answer with a bearer token and its lifetime (none when expiresIn < 0).
    static TokenAnswer Token(const std::string& token, int expiresIn = 3600);
    // Refusal - an error answer as RFC 6749 writes it.
    static TokenAnswer Refusal(int status, const std::string& error, const std::string& description);

private:
    void Start(std::vector<std::string> args);

    TempDir dir_;
    TestCertificate certificate_;
    Scheme scheme_;
    std::unique_ptr<PythonHelper> helper_;
};

}  // namespace tessel::test
