// The database connection parameters read from configs.ini at every start.
#pragma once

#include <cstdint>
#include <string>

namespace tessel::config {

struct ConnectionParameters {
    std::string Server;        // empty: "localhost" (over TCP)
    std::int32_t Port = 0;     // 0: 3306
    std::string Database;
    std::string UserName;
    std::string Password;      // already deciphered
    bool Ssl = false;          // TLS to the server, required: no plain-text fallback
    std::string SslCa;         // PEM file of the CA that issued the server's certificate
    bool SslVerify = false;    // with Ssl: the certificate must be trusted and name Server
};

}  // namespace tessel::config
