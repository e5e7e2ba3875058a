#include "service/control_queue.h"

namespace tessel::service {

void ControlQueue::Push(ControlCode code) {
    {
        std::lock_guard lock(mutex_);
        codes_.push_back(code);
    }
    queued_.notify_one();
}

std::optional<ControlCode> ControlQueue::TryPop() {
    std::lock_guard lock(mutex_);
    if (codes_.empty()) return std::nullopt;
    ControlCode code = codes_.front();
    codes_.pop_front();
    return code;
}

ControlCode ControlQueue::WaitPop() {
    std::unique_lock lock(mutex_);
    queued_.wait(lock, [this] { return !codes_.empty(); });
    ControlCode code = codes_.front();
    codes_.pop_front();
    return code;
}

}  // namespace tessel::service
