// The configs.ini reader over arbitrary file contents: no crash, values within the length bound.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/ini_reader.h"
#include "config/startup_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* key : {"Database", "Port", "Username", "Password", "Server"}) {
        std::string value = tessel::config::ReadIniValueFromText(text, "DBCONFIG", key);
        if (value.size() > tessel::config::kMaxIniValue) std::abort();
        if (value.find('\n') != std::string::npos) std::abort();
        (void)tessel::config::ParsePortValue(value);
    }
    return 0;
}
