// Certificates for the TLS tests, made with the openssl command at test time: a private CA and
// server certificates that pass or fail each check of the client.
#pragma once

#include <string>

#include "support/aiosmtpd_server.h"

namespace tessel::test {

// TestPki - PEM files in one directory.
struct TestPki {
    std::string CaFile;          // the private CA's certificate
    std::string CaDirectory;     // a hashed directory (openssl rehash) holding the CA's certificate
    std::string OtherCaFile;     // a CA that issued none of the certificates below
    TestCertificate Local;       // issued by the CA for DNS:localhost and IP:127.0.0.1
    TestCertificate OtherName;   // issued by the CA for DNS:other.example only
    TestCertificate Expired;     // issued by the CA for localhost and 127.0.0.1, valid only in January 2020
    TestCertificate SelfSigned;  // self-signed, for localhost and 127.0.0.1
};

// MakeTestPki - makes them in dir. Throws std::runtime_error when a command fails.
TestPki MakeTestPki(const std::string& dir);

// SharedTestPki - one set for the whole test process (made at first use, removed at exit).
const TestPki& SharedTestPki();

// KeyPin - the SHA-256 fingerprint of certFile's public key as the openssl pipeline of the
// operations guide prints it (hex pairs with colons). Throws std::runtime_error on failure.
std::string KeyPin(const std::string& certFile);

}  // namespace tessel::test
