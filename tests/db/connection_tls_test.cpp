// TLS to the database as configs.ini asks, against a private server that admits TCP clients over
// TLS only and whose certificate a private CA issued for 127.0.0.1 and localhost.
#include "db/connection.h"

#include <gtest/gtest.h>

#include <optional>

#include "db/database_error.h"
#include "support/test_database.h"
#include "support/test_pki.h"
#include "support/tls_strip_relay.h"

namespace tessel::db {
namespace {

config::ConnectionParameters SecureServer(const std::string& host) {
    config::ConnectionParameters parameters = test::ServerParameters(test::SecureTestServer());
    parameters.Server = host;
    return parameters;
}

TEST(ConnectionTlsTest, ServerRequiringTlsIsReachedOnlyAsTheSettingsAllow) {
    const test::ServerEnv& server = test::SecureTestServer();
    const std::string rightCa = server.TlsCa;
    const std::string wrongCa = test::SharedTestPki().CaFile;
    struct Case {
        const char* Name;
        std::string Host;
        bool Ssl;
        std::string Ca;
        bool Verify;
        bool Reached;
    };
    for (const Case& c : {
             Case{"no SSL key: plain text is refused", "127.0.0.1", false, "", false, false},
             Case{"no SSL key, yet a CA and verification", "127.0.0.1", false, rightCa, true, false},
             Case{"right CA, verified by address", "127.0.0.1", true, rightCa, true, true},
             Case{"right CA, verified by name", "localhost", true, rightCa, true, true},
             Case{"wrong CA with verification", "127.0.0.1", true, wrongCa, true, false},
             Case{"no CA with verification: the system's store does not know the issuer", "127.0.0.1", true, "",
                  true, false},
             Case{"encrypted without verification", "127.0.0.1", true, "", false, true},
             // The client library checks the chain against a CA it is given, SSLVerify or not.
             Case{"wrong CA without verification", "127.0.0.1", true, wrongCa, false, false},
         }) {
        SCOPED_TRACE(c.Name);
        config::ConnectionParameters parameters = SecureServer(c.Host);
        parameters.Ssl = c.Ssl;
        parameters.SslCa = c.Ca;
        parameters.SslVerify = c.Verify;
        Connection connection;
        connection.SetParameters(parameters);
        std::optional<std::string> refusal;
        try {
            connection.Connect();
        } catch (const DatabaseError& e) {
            refusal = e.what();
        }
        if (c.Reached) {
            ASSERT_FALSE(refusal) << *refusal;
            EXPECT_TRUE(connection.UsesTls());
            EXPECT_EQ(connection.Execute("DO 1"), 0u);
        } else {
            EXPECT_TRUE(refusal);
            EXPECT_FALSE(connection.IsConnected());
        }
    }
}

TEST(ConnectionTlsTest, AServerWithoutTlsIsNotReachedWhenTlsIsAsked) {
    config::ConnectionParameters parameters = test::ServerParameters(test::TestServer());
    parameters.Ssl = true;
    parameters.SslCa = test::SecureTestServer().TlsCa;
    parameters.SslVerify = true;
    Connection connection;
    connection.SetParameters(parameters);
    // The ordinary test server offers TLS with a self-signed certificate: not the CA's.
    EXPECT_THROW(connection.Connect(), DatabaseError);
}

TEST(ConnectionTlsTest, AGreetingStrippedOfTlsGetsNoLoginWhateverIsChecked) {
    const test::ServerEnv& server = test::SecureTestServer();
    test::TlsStripRelay relay(server.Port);
    struct Case {
        const char* Name;
        std::string Ca;
        bool Verify;
    };
    const Case cases[] = {
        {"no CA, no verification", "", false},
        {"a CA, no verification", server.TlsCa, false},
        {"a CA and verification", server.TlsCa, true},
    };
    std::size_t attempts = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        config::ConnectionParameters parameters = SecureServer("127.0.0.1");
        parameters.Port = relay.Port();
        parameters.Ssl = true;
        parameters.SslCa = c.Ca;
        parameters.SslVerify = c.Verify;
        Connection connection;
        connection.SetParameters(parameters);
        try {
            connection.Connect();
            ADD_FAILURE() << "logged in through a relay that took TLS away";
        } catch (const DatabaseError& e) {
            EXPECT_TRUE(IsConnectionError(e.Number())) << e.Number();
        }
        EXPECT_FALSE(connection.IsConnected());
        connection.Disconnect();
        // Not a byte after the greeting: no user name, no password hash, no statement.
        EXPECT_EQ(relay.ClientBytesOfEndedConnections(++attempts).size(), 0u);
    }
}

}  // namespace
}  // namespace tessel::db
