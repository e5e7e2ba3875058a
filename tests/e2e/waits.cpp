#include "waits.h"

#include <thread>

namespace tessel::e2e {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace tessel::e2e
