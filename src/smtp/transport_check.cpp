#include "smtp/transport_check.h"

#include "smtp/https_post.h"
#include "smtp/tls_peer_check.h"
#include "util/ascii.h"
#include "util/ca_path.h"
#include "util/record_text.h"

namespace tessel::smtp {
namespace {

void CheckCaPath(const std::string& key, const std::string& path, std::vector<SettingProblem>& problems) {
    if (path.empty()) return;
    std::string problem = CaPathProblem(path);
    if (!problem.empty()) problems.push_back({key, "\"" + RecordText(path) + "\" cannot be used: " + problem});
}

}  // namespace

std::vector<SettingProblem> TransportProblems(const SmtpAccount& account) {
    std::vector<SettingProblem> problems;
    if (account.WantsTls()) {
        try {
            ParsePins(account.TlsPins);
        } catch (const TlsError& e) {
            problems.push_back({"email.tls.pin", RecordText(e.what())});
        }
        if (account.TlsVerify) CheckCaPath("email.tls.ca", account.TlsCa, problems);
    }
    const bool oauth = !account.OAuth.TokenUrl.empty();
    const std::string mechanism = LowerCase(account.AuthMechanism);
    if (!mechanism.empty() && mechanism != "login" && mechanism != "plain" && mechanism != "xoauth2") {
        problems.push_back({"email.auth", "\"" + RecordText(account.AuthMechanism) +
                                              "\" is none of login, plain, xoauth2"});
    } else if (mechanism == "xoauth2" && !oauth) {
        problems.push_back({"email.auth", "xoauth2 needs an OAuth token endpoint (email.oauth.url)"});
    }
    if (oauth) {
        if (!IsHttpsUrl(account.OAuth.TokenUrl)) {
            problems.push_back({"email.oauth.url", "\"" + RecordText(account.OAuth.TokenUrl.substr(0, 200)) +
                                                       "\" is not an https:// address"});
        }
        CheckCaPath("email.oauth.ca", account.OAuth.CaPath, problems);
    }
    return problems;
}

}  // namespace tessel::smtp
