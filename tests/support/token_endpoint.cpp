#include "support/token_endpoint.h"

#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tessel::test {

using nlohmann::json;

TokenEndpoint::TokenEndpoint(Scheme scheme) : scheme_(scheme) { Start({}); }

TokenEndpoint::TokenEndpoint(const std::string& jwtPublicKey) : scheme_(Scheme::Https) {
    Start({"--jwt-key", jwtPublicKey});
}

void TokenEndpoint::Start(std::vector<std::string> args) {
    args.insert(args.end(), {"--dir", dir_.Path()});
    if (scheme_ == Scheme::Https) {
        certificate_ = MakeTestCertificate(dir_.Path());
        args.insert(args.end(), {"--tls", certificate_.CertFile, certificate_.KeyFile});
    }
    helper_ = std::make_unique<PythonHelper>("token_endpoint.py", args, dir_.Path());
}

std::string TokenEndpoint::Url() const {
    return std::string(scheme_ == Scheme::Https ? "https" : "http") + "://localhost:" +
           std::to_string(helper_->Port()) + "/tenant/oauth2/v2.0/token";
}

void TokenEndpoint::Answer(const std::vector<TokenAnswer>& answers) {
    json list = json::array();
    for (const TokenAnswer& answer : answers) {
        list.push_back({{"status", answer.Status}, {"body", answer.Body}, {"delay", answer.DelaySeconds}});
    }
    // Written aside and renamed, so the endpoint never reads half a file.
    std::string temporary = dir_.Write("answers.json.new", list.dump());
    std::rename(temporary.c_str(), dir_.File("answers.json").c_str());
}

std::vector<TokenRequest> TokenEndpoint::Requests() const {
    std::vector<TokenRequest> requests;
    std::istringstream lines(ReadFile(dir_.File("requests")));
    for (std::string line; std::getline(lines, line);) {
        json record = json::parse(line);
        TokenRequest request{record["path"], record["content_type"], {}, "", "", false};
        if (record.contains("jwt")) {
            request.JwtHeader = record["jwt"]["header"].dump();
            request.JwtClaims = record["jwt"]["claims"].dump();
            request.JwtSignatureValid = record["jwt"]["signature_valid"];
        }
        for (auto& [name, value] : record["form"].items()) {
            request.Form[name] = value.get<std::string>();
        }
        requests.push_back(std::move(request));
    }
    return requests;
}

TokenAnswer TokenEndpoint::Token(const std::string& token, int expiresIn) {
    json body = {{"token_type", "Bearer"}, {"access_token", token}};
    if (expiresIn >= 0) body["expires_in"] = expiresIn;
    return {200, body.dump(), 0};
}

TokenAnswer TokenEndpoint::Refusal(int status, const std::string& error, const std::string& description) {
    return {status, json{{"error", error}, {"error_description", description}}.dump(), 0};
}

}  // namespace tessel::test
