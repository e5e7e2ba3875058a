#include "support/test_pki.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "support/temp_dir.h"

namespace tessel::test {

namespace {

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

void Run(const std::string& dir, const std::string& command) {
    std::string line = "cd " + Quote(dir) + " && " + command + " >>openssl.log 2>&1";
    if (std::system(line.c_str()) != 0) {
        throw std::runtime_error("openssl failed making the test certificates: " + command + "\n" +
                                 ReadFile(dir + "/openssl.log"));
    }
}

// The CA tool signs with fixed dates (the expired certificate) and the extensions named here.
constexpr const char* kCaConfig =
    "[ ca ]\ndefault_ca = tca\n"
    "[ tca ]\ndatabase = index.txt\nnew_certs_dir = .\nserial = serial\ndefault_md = sha256\n"
    "policy = pol\nunique_subject = no\ndefault_days = 2\n"
    "[ pol ]\ncommonName = supplied\n"
    "[ local ]\nbasicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\n"
    "subjectAltName = DNS:localhost, IP:127.0.0.1\n"
    "[ other ]\nbasicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\n"
    "subjectAltName = DNS:other.example\n";

constexpr const char* kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

void MakeCa(const std::string& dir, const std::string& name, const std::string& subject) {
    Run(dir, std::string("openssl req -x509 ") + kNewKey + " -keyout " + name + "-key.pem -out " + name +
                 ".pem -days 2 -subj " + Quote(subject) +
                 " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
}

TestCertificate Issue(const std::string& dir, const std::string& name, const std::string& extensions,
                      const std::string& dates) {
    Run(dir, std::string("openssl req -new ") + kNewKey + " -keyout " + name + "-key.pem -out " + name +
                 ".csr -subj /CN=" + name);
    Run(dir, "openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca-key.pem -in " + name + ".csr -out " +
                 name + ".pem -notext -extensions " + extensions + " " + dates);
    return {dir + "/" + name + ".pem", dir + "/" + name + "-key.pem"};
}

}  // namespace

TestPki MakeTestPki(const std::string& dir) {
    std::ofstream(dir + "/ca.cnf") << kCaConfig;
    std::ofstream(dir + "/index.txt");
    std::ofstream(dir + "/serial") << "01\n";
    TestPki pki;
    MakeCa(dir, "ca", "/CN=Tessel Test CA");
    MakeCa(dir, "other-ca", "/CN=Another Test CA");
    pki.CaFile = dir + "/ca.pem";
    pki.OtherCaFile = dir + "/other-ca.pem";
    Run(dir, "mkdir cadir && cp ca.pem cadir/ && openssl rehash cadir");
    pki.CaDirectory = dir + "/cadir";
    pki.Local = Issue(dir, "localhost", "local", "");
    pki.OtherName = Issue(dir, "other.example", "other", "");
    pki.Expired = Issue(dir, "expired", "local", "-startdate 20200101000000Z -enddate 20200102000000Z");
    Run(dir, std::string("openssl req -x509 ") + kNewKey +
                 " -keyout self-key.pem -out self.pem -days 2 -subj /CN=localhost"
                 " -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
    pki.SelfSigned = {dir + "/self.pem", dir + "/self-key.pem"};
    return pki;
}

const TestPki& SharedTestPki() {
    static TempDir dir;
    static const TestPki pki = MakeTestPki(dir.Path());
    return pki;
}

std::string KeyPin(const std::string& certFile) {
    std::string command = "openssl x509 -in " + Quote(certFile) +
                          " -noout -pubkey | openssl pkey -pubin -outform DER | openssl dgst -sha256 -c";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
        output += buffer;
    }
    // "SHA2-256(stdin)= ab:cd:..." - the fingerprint follows "= ".
    std::size_t at = output.find("= ");
    if (at == std::string::npos) {
        throw std::runtime_error("unexpected output of " + command + ": " + output);
    }
    std::string pin = output.substr(at + 2);
    while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) {
        pin.pop_back();
    }
    return pin;
}

}  // namespace tessel::test
