#include "config/startup_config.h"

#include "config/ini_reader.h"
#include "config/password_cipher.h"
#include "util/parse_integer.h"

namespace tessel::config {
namespace {
constexpr const char* kSection = "DBCONFIG";
}

std::int32_t ParsePortValue(const std::string& text) {
    std::string value = text;
    if (value.size() >= 3 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        value.replace(0, 2, "$");
    }
    return ParseInteger(value, 0);
}

ConnectionParameters ReadStartupConfiguration(const std::string& path) {
    ConnectionParameters params;
    params.Database = ReadIniValue(path, kSection, "Database");
    params.Port = ParsePortValue(ReadIniValue(path, kSection, "Port"));
    params.UserName = ReadIniValue(path, kSection, "Username");
    params.Password = DecryptString(HexDecode(ReadIniValue(path, kSection, "Password")), kCipherStartKey);
    params.Server = ReadIniValue(path, kSection, "Server");
    params.Ssl = ParseInteger(ReadIniValue(path, kSection, "SSL"), 0) == 1;
    params.SslCa = ReadIniValue(path, kSection, "SSLCA");
    params.SslVerify = ParseInteger(ReadIniValue(path, kSection, "SSLVerify"), 0) == 1;
    return params;
}

}  // namespace tessel::config
