// The OAuth 2.0 token client against a token endpoint of the tests' own over HTTPS: the form it
// posts for each grant, what each failure says (and never says), and how long a token is kept.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <thread>

#include "smtp/oauth_token.h"
#include "smtp/socket.h"
#include "util/stop_signal.h"
#include "support/token_endpoint.h"

namespace tessel::smtp {
namespace {

using namespace std::chrono_literals;
using tessel::test::TokenAnswer;
using tessel::test::TokenEndpoint;

constexpr const char* kSecret = "s3cret~value&=+";
constexpr const char* kRefresh = "1//refresh-token-value";

TokenTimeouts ShortTimeouts() {
    return {10000ms, 1000ms};
}

OAuthClient Client(const TokenEndpoint& endpoint) {
    return {endpoint.Url(), "client-id", kSecret, "https://outlook.office365.com/.default", "", endpoint.CaFile()};
}

TEST(OAuthTokenTest, ClientCredentialsGrantPostsTheFormAndReadsTheToken) {
    TokenEndpoint endpoint;
    endpoint.Answer({TokenEndpoint::Token("access-1", 3599)});

    AccessToken token = FetchAccessToken(Client(endpoint), {});

    EXPECT_EQ(token.Value, "access-1");
    EXPECT_EQ(token.ExpiresIn, std::optional<std::chrono::seconds>(3599s));
    auto requests = endpoint.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Path, "/tenant/oauth2/v2.0/token");
    EXPECT_EQ(requests[0].ContentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].Form, (std::map<std::string, std::string>{
                                    {"grant_type", "client_credentials"},
                                    {"client_id", "client-id"},
                                    {"client_secret", kSecret},
                                    {"scope", "https://outlook.office365.com/.default"}}));
}

TEST(OAuthTokenTest, RefreshTokenGrantSendsTheRefreshTokenAndLeavesOutEmptyFields) {
    TokenEndpoint endpoint;
    // Some endpoints send the lifetime as a string.
    endpoint.Answer({{200, R"({"access_token":"ya29.token","expires_in":"3600","token_type":"bearer"})", 0}});
    OAuthClient client = Client(endpoint);
    client.RefreshToken = kRefresh;
    client.Scope.clear();

    AccessToken token = FetchAccessToken(client, {});

    EXPECT_EQ(token.Value, "ya29.token");
    EXPECT_EQ(token.ExpiresIn, std::optional<std::chrono::seconds>(3600s));
    ASSERT_EQ(endpoint.Requests().size(), 1u);
    EXPECT_EQ(endpoint.Requests()[0].Form, (std::map<std::string, std::string>{
                                               {"grant_type", "refresh_token"},
                                               {"refresh_token", kRefresh},
                                               {"client_id", "client-id"},
                                               {"client_secret", kSecret}}));
}

TEST(OAuthTokenTest, ACaDirectoryChecksTheEndpointLikeACaFile) {
    TokenEndpoint endpoint;
    endpoint.Answer({TokenEndpoint::Token("from-directory")});
    tessel::test::TempDir certificates;
    std::filesystem::copy_file(endpoint.CaFile(), certificates.File("endpoint.pem"));
    ASSERT_EQ(std::system(("openssl rehash " + certificates.Path() + " >/dev/null 2>&1").c_str()), 0);
    OAuthClient client = Client(endpoint);
    client.CaPath = certificates.Path();

    EXPECT_EQ(FetchAccessToken(client, ShortTimeouts()).Value, "from-directory");
}

struct FailureCase {
    const char* Name;
    TokenAnswer Answer;
    const char* Reason;  // follows "The OAuth token endpoint <url> "
};

TEST(OAuthTokenTest, EveryFailureNamesTheEndpointAndItsReasonButNoSecret) {
    const std::vector<FailureCase> cases = {
        {"400 with an error", TokenEndpoint::Refusal(400, "invalid_grant", "Token has been expired or revoked."),
         "refused the request: HTTP 400: invalid_grant - Token has been expired or revoked."},
        {"401 with an error", TokenEndpoint::Refusal(401, "invalid_client", "Client authentication failed"),
         "refused the request: HTTP 401: invalid_client - Client authentication failed"},
        {"an endpoint that echoes the secret",
         TokenEndpoint::Refusal(400, "invalid_request", std::string("bad secret ") + kSecret + "\r\nnext"),
         "refused the request: HTTP 400: invalid_request - bad secret [hidden]\\x0D\\x0Anext"},
        {"500 without JSON", {500, "<html>oops</html>", 0}, "refused the request: HTTP 500"},
        {"a redirect is not followed", {302, "", 0}, "refused the request: HTTP 302"},
        {"bad JSON holding a token", {200, R"({"access_token":"leaked-access-token",)", 0},
         "answered with no valid JSON object"},
        {"no access_token", {200, R"({"token_type":"Bearer","expires_in":3600})", 0},
         "answered without a usable access_token"},
        {"a token with a control byte", {200, R"({"access_token":"abc\u0001def"})", 0},
         "answered without a usable access_token"},
        {"another token type", {200, R"({"access_token":"abc","token_type":"mac"})", 0},
         "answered with a token of type \"mac\", not Bearer"},
        {"too slow", {200, R"({"access_token":"late-access-token"})", 10}, "could not be used: "},
    };
    // One endpoint answers every case in turn; the slow answer comes last, as it holds the endpoint.
    TokenEndpoint endpoint;
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.Name);
        endpoint.Answer({c.Answer});
        try {
            FetchAccessToken(Client(endpoint), ShortTimeouts());
            ADD_FAILURE() << "no error";
        } catch (const OAuthError& e) {
            std::string text = e.what();
            std::string expected = "The OAuth token endpoint " + endpoint.Url() + " " + c.Reason;
            EXPECT_EQ(text.substr(0, expected.size()), expected) << text;
            for (const char* secret : {kSecret, "leaked-access-token", "late-access-token"}) {
                EXPECT_EQ(text.find(secret), std::string::npos) << text;
            }
        }
    }
}

TEST(OAuthTokenTest, ASecretThatIsPartOfTheMaskIsMaskedOnce) {
    TokenEndpoint endpoint;
    endpoint.Answer({TokenEndpoint::Refusal(401, "invalid_client", "secret hidden is wrong")});
    OAuthClient client = Client(endpoint);
    client.ClientSecret = "hid";
    try {
        FetchAccessToken(client, ShortTimeouts());
        ADD_FAILURE() << "no error";
    } catch (const OAuthError& e) {
        EXPECT_EQ(std::string(e.what()), "The OAuth token endpoint " + endpoint.Url() +
                                             " refused the request: HTTP 401: invalid_client - secret "
                                             "[hidden]den is wrong");
    }
}

TEST(OAuthTokenTest, AnEchoedSecretIsMaskedInEveryFormAndField) {
    constexpr const char* kEchoed = "CS+s3cr/3t";
    const struct {
        const char* Name;
        TokenAnswer Answer;
    } cases[] = {
        {"raw in the description", TokenEndpoint::Refusal(400, "invalid_client", "secret CS+s3cr/3t is wrong")},
        {"form-encoded", TokenEndpoint::Refusal(400, "invalid_client", "client_secret=CS%2Bs3cr%2F3t&x=1")},
        {"form-encoded in lower case", TokenEndpoint::Refusal(400, "invalid_client", "got CS%2bs3cr%2f3t")},
        {"every byte form-encoded", TokenEndpoint::Refusal(400, "invalid_client", "%43%53%2B%73%33%63%72%2F%33%74")},
        {"JSON-escaped inside the text", TokenEndpoint::Refusal(400, "invalid_client", R"({"client_secret":"CS+s3cr\/3t"})")},
        {"JSON \\u escapes inside the text",
         TokenEndpoint::Refusal(400, "invalid_client", R"(\u0043S\u002bs3cr\u002F3t)")},
        {"in the error field", TokenEndpoint::Refusal(400, "CS%2Bs3cr%2F3t", "")},
        {"in token_type", {200, R"({"access_token":"abc","token_type":"CS+s3cr\/3t"})", 0}},
        {"form-encoded in token_type", {200, R"({"access_token":"abc","token_type":"CS%2Bs3cr%2F3t"})", 0}},
    };
    TokenEndpoint endpoint;
    OAuthClient client = Client(endpoint);
    client.ClientSecret = kEchoed;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        endpoint.Answer({c.Answer});
        try {
            FetchAccessToken(client, ShortTimeouts());
            ADD_FAILURE() << "no error";
        } catch (const OAuthError& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("[hidden]"), std::string::npos) << text;
            for (const char* part : {"s3cr", "73%33%63"}) EXPECT_EQ(text.find(part), std::string::npos) << text;
        }
    }
}

TEST(OAuthTokenTest, TheEndpointMustBeHttpsWithACertificateThatChecks) {
    TokenEndpoint plain(TokenEndpoint::Scheme::Http);
    plain.Answer({TokenEndpoint::Token("never-sent")});
    OAuthClient client = Client(plain);
    client.CaPath.clear();
    EXPECT_THROW(
        {
            try {
                FetchAccessToken(client, ShortTimeouts());
            } catch (const OAuthError& e) {
                EXPECT_EQ(std::string(e.what()),
                          "The OAuth token endpoint must be an https:// address, not \"" + plain.Url() + "\"");
                throw;
            }
        },
        OAuthError);
    EXPECT_TRUE(plain.Requests().empty()) << "nothing was posted in plain text";

    // A self-signed certificate the system store does not know, or a CA file that is not its own.
    TokenEndpoint https;
    https.Answer({TokenEndpoint::Token("never-read")});
    TokenEndpoint other;
    for (const std::string& ca : {std::string(), other.CaFile()}) {
        OAuthClient untrusted = Client(https);
        untrusted.CaPath = ca;
        try {
            FetchAccessToken(untrusted, ShortTimeouts());
            ADD_FAILURE() << "an unchecked certificate was accepted";
        } catch (const OAuthError& e) {
            EXPECT_NE(std::string(e.what()).find("could not be used: SSL certificate problem"), std::string::npos)
                << e.what();
        }
    }
    EXPECT_TRUE(https.Requests().empty());
}

TEST(OAuthTokenTest, AStopRequestEndsAWaitForTheEndpoint) {
    TokenEndpoint endpoint;
    endpoint.Answer({{200, R"({"access_token":"too-late"})", 30}});
    StopSignal stop;
    std::thread stopper([&] {
        while (endpoint.Requests().empty()) std::this_thread::sleep_for(10ms);
        stop.Request();
    });
    StoppableWaits stoppable(stop.Fd());

    EXPECT_THROW(FetchAccessToken(Client(endpoint), {}), WaitStopped);
    stopper.join();
}

// A token cache over the real endpoint, with a clock the test moves.
class TokenCacheTest : public ::testing::Test {
protected:
    std::string Token() { return cache.Token(client, ShortTimeouts()); }
    std::size_t Hits() { return endpoint.Requests().size(); }

    TokenEndpoint endpoint;
    OAuthClient client = Client(endpoint);
    std::chrono::steady_clock::time_point now{};
    TokenCache cache{FetchAccessToken, [this] { return now; }};
};

TEST_F(TokenCacheTest, ATokenIsKeptUntilAMinuteBeforeItExpires) {
    endpoint.Answer({TokenEndpoint::Token("first", 3600), TokenEndpoint::Token("second", 3600)});
    EXPECT_EQ(Token(), "first");
    now += 3539s;
    EXPECT_EQ(Token(), "first");
    EXPECT_EQ(Hits(), 1u);
    now += 1s;
    EXPECT_EQ(Token(), "second");
    EXPECT_EQ(Hits(), 2u);
}

TEST_F(TokenCacheTest, ADroppedTokenOrAnotherClientFetchesAgain) {
    endpoint.Answer({TokenEndpoint::Token("first"), TokenEndpoint::Token("second"), TokenEndpoint::Token("third")});
    EXPECT_EQ(Token(), "first");
    cache.Drop("not-the-kept-one");
    EXPECT_EQ(Token(), "first");
    cache.Drop("first");
    EXPECT_EQ(Token(), "second");
    client.Scope = "https://mail.google.com/";
    EXPECT_EQ(Token(), "third");
    EXPECT_EQ(Hits(), 3u);
}

TEST_F(TokenCacheTest, ATokenWithoutALifetimeBeyondTheMarginServesOneSession) {
    endpoint.Answer({TokenEndpoint::Token("no-lifetime", -1), TokenEndpoint::Token("short", 60),
                     TokenEndpoint::Token("next", 61)});
    EXPECT_EQ(Token(), "no-lifetime");
    EXPECT_EQ(Token(), "short");
    EXPECT_EQ(Token(), "next");
    EXPECT_EQ(Token(), "next");
    EXPECT_EQ(Hits(), 3u);
}

TEST_F(TokenCacheTest, AFailedFetchKeepsNothing) {
    endpoint.Answer({TokenEndpoint::Refusal(400, "invalid_grant", "expired"), TokenEndpoint::Token("after")});
    EXPECT_THROW(Token(), OAuthError);
    EXPECT_EQ(Token(), "after");
    EXPECT_EQ(Hits(), 2u);
}

}  // namespace
}  // namespace tessel::smtp
