// The worker's first-in first-out queue of control codes: the one structure threads share.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "service/service_state.h"

namespace tessel::service {

class ControlQueue {
public:
    // Push - appends code and wakes a waiting WaitPop. Safe from any thread; never blocks long.
    void Push(ControlCode code);

    // TryPop - the oldest code, or nothing when the queue is empty.
    std::optional<ControlCode> TryPop();

    // WaitPop - the oldest code, waiting until one is queued. A code pushed before the call
    // returns at once, so no wake-up is lost.
    ControlCode WaitPop();

private:
    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<ControlCode> codes_;
};

}  // namespace tessel::service
