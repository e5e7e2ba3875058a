#include "service/status_publisher.h"

#include "util/error.h"
#include "util/event_log.h"

namespace tessel::service {

void StatusPublisher::Publish(ServiceState state) noexcept {
    current_ = state;
    checkpoint_ = IsPending(state) && state == lastReported_ ? checkpoint_ + 1 : 0;
    lastReported_ = state;
    try {
        channel_.Send(MakeStatusReport(state, checkpoint_));
    } catch (const PlatformError& error) {
        WriteEventLog(kServiceName, SystemText(error.Code()));
    } catch (const std::exception& error) {
        WriteEventLog(kServiceName, error.what());
    }
}

}  // namespace tessel::service
