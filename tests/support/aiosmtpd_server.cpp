#include "support/aiosmtpd_server.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tessel::test {

namespace {

constexpr const char* kPython = "/usr/bin/python3";

int Run(const std::string& command) {
    return std::system(command.c_str());
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

bool AiosmtpdAvailable() {
    return Run(std::string(kPython) + " -c 'import aiosmtpd' >/dev/null 2>&1") == 0;
}

TestCertificate MakeTestCertificate(const std::string& dir, bool expired) {
    TestCertificate certificate{dir + "/cert.pem", dir + "/key.pem"};
    std::string in = "cd " + Quote(dir) + " && ";
    std::string command;
    if (!expired) {
        command = in + "openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 "
                       "-subj /CN=localhost >/dev/null 2>&1";
    } else {
        // openssl req cannot back-date; the small CA tool can set both validity dates.
        std::ofstream(dir + "/ca.cnf") << "[ ca ]\ndefault_ca = tca\n[ tca ]\ndatabase = index.txt\n"
                                          "new_certs_dir = .\nserial = serial\ndefault_md = sha256\n"
                                          "policy = pol\nunique_subject = no\n[ pol ]\ncommonName = supplied\n";
        std::ofstream(dir + "/index.txt");
        std::ofstream(dir + "/serial") << "01\n";
        command = in +
                  "openssl req -new -newkey rsa:2048 -nodes -keyout key.pem -out req.pem -subj /CN=localhost "
                  ">/dev/null 2>&1 && openssl ca -batch -config ca.cnf -selfsign -keyfile key.pem -in req.pem "
                  "-out cert.pem -notext -startdate 20200101000000Z -enddate 20200102000000Z >/dev/null 2>&1";
    }
    if (Run(command) != 0) {
        throw std::runtime_error("the openssl command could not make a test certificate");
    }
    return certificate;
}

AiosmtpdServer::AiosmtpdServer(const Options& options) {
    std::vector<std::string> args = {"--dir", dir_.Path()};
    if (!options.AuthUser.empty()) {
        args.push_back("--auth-login");
        args.push_back(options.AuthUser + ":" + options.AuthPassword);
    }
    if (options.StartTls) {
        args.push_back("--starttls");
        args.push_back(options.StartTls->CertFile);
        args.push_back(options.StartTls->KeyFile);
    }
    if (options.ImplicitTls) {
        args.push_back("--implicit-tls");
        args.push_back(options.ImplicitTls->CertFile);
        args.push_back(options.ImplicitTls->KeyFile);
    }
    if (!options.Mechanisms.empty()) {
        args.push_back("--mechanisms");
        args.push_back(options.Mechanisms);
    }
    if (!options.XOAuth2Token.empty()) {
        args.push_back("--xoauth2-token");
        args.push_back(options.XOAuth2Token);
    }
    helper_ = std::make_unique<PythonHelper>("smtp_capture.py", args, dir_.Path());
}

AiosmtpdServer::~AiosmtpdServer() = default;

std::vector<std::string> AiosmtpdServer::AuthAttempts() const {
    std::vector<std::string> attempts;
    std::istringstream lines(ReadFile(dir_.File("auth_attempts")));
    for (std::string line; std::getline(lines, line);) {
        attempts.push_back(line);
    }
    return attempts;
}

std::vector<CapturedMessage> AiosmtpdServer::Messages() const {
    std::vector<CapturedMessage> messages;
    for (int n = 1;; ++n) {
        std::string folder = dir_.File("msg-" + std::to_string(n));
        if (!std::filesystem::is_directory(folder)) {
            break;
        }
        CapturedMessage message;
        message.MailFrom = ReadFile(folder + "/mail_from");
        std::istringstream recipients(ReadFile(folder + "/rcpt_tos"));
        for (std::string line; std::getline(recipients, line);) {
            message.Recipients.push_back(line);
        }
        message.Data = ReadFile(folder + "/data");
        message.Tls = ReadFile(folder + "/tls") == "1";
        message.Authenticated = ReadFile(folder + "/auth") == "1";
        message.AuthMechanism = ReadFile(folder + "/mechanism");
        messages.push_back(std::move(message));
    }
    return messages;
}

}  // namespace tessel::test
