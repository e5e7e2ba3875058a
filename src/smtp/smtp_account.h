// Where and as whom the sessions deliver.
#pragma once

#include <cstdint>
#include <string>

namespace tessel::smtp {

// SmtpAccount - the mail server and the account used with it. SmtpClient connects to Port as it
// stands; DeliverMessage applies the port rule first.
struct SmtpAccount {
    std::string Host;
    std::int32_t Port = 25;
    std::string UserName;  // empty: no authentication
    std::string Password;
    bool UseTls = false;
};

}  // namespace tessel::smtp
