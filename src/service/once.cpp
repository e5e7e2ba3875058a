#include "service/once.h"

#include <istream>
#include <ostream>

#include "config/password_cipher.h"

namespace tessel::service {

int RunOnce(TesselComService& service, std::ostream& err) noexcept {
    const ServiceHandlers& handlers = service.Handlers();
    try {
        if (!handlers.ServiceStart()) return kExitNormal;
    } catch (...) {
        service.RecordFailure("start", CurrentExceptionText());
        return kExitFailed;
    }
    CycleResult result;
    try {
        result = handlers.RunCycle();
    } catch (...) {
        service.RecordFailure("execute", CurrentExceptionText());
        return kExitFailed;
    }
    if (result == CycleResult::NotConnected) {
        try {
            std::string reason = handlers.LastConnectError ? handlers.LastConnectError() : "";
            err << "tesselcomsvc: the database could not be reached"
                << (reason.empty() ? "" : ": " + reason) << "\n"
                << std::flush;
        } catch (...) {
        }
        return kExitNotConnected;
    }
    return kExitNormal;
}

std::string EncipherPasswordLine(std::istream& in) {
    std::string line;
    std::getline(in, line, '\n');
    return config::HexEncode(config::EncryptString(line, config::kCipherStartKey));
}

}  // namespace tessel::service
