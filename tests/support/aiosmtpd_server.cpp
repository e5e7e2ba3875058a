#include "support/aiosmtpd_server.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessel::test {

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartLimit = std::chrono::seconds(30);

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
    std::vector<std::string> args = {kPython, "-W", "ignore", TESSEL_SOURCE_DIR "/tests/support/smtp_capture.py", "--dir",
                                     dir_.Path()};
    if (!options.AuthUser.empty()) {
        args.push_back("--auth-login");
        args.push_back(options.AuthUser + ":" + options.AuthPassword);
    }
    if (options.StartTls) {
        args.push_back("--starttls");
        args.push_back(options.StartTls->CertFile);
        args.push_back(options.StartTls->KeyFile);
    }
    int toChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(kPython, argv.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    stdinFd_ = toChild[1];
    if (pid_ < 0) {
        ::close(stdinFd_);
        throw std::runtime_error("fork failed");
    }
    auto giveUp = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < giveUp) {
        std::ifstream portFile(dir_.File("port"));
        if (portFile >> port_ && port_ > 0) {
            return;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    throw std::runtime_error("the aiosmtpd sink did not start");
}

AiosmtpdServer::~AiosmtpdServer() {
    Stop();
}

void AiosmtpdServer::Stop() noexcept {
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
        stdinFd_ = -1;
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
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
        messages.push_back(std::move(message));
    }
    return messages;
}

}  // namespace tessel::test
