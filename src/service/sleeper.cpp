#include "service/sleeper.h"

#include <algorithm>
#include <thread>

namespace tessel::service {

void TickSleeper::Sleep() { std::this_thread::sleep_for(tick_); }

bool WatchingSleeper::SleepOrWork() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + tick_;
    for (;;) {
        std::optional<std::chrono::milliseconds> interval = interval_();
        if (!interval) {
            nextLook_.reset();
            std::this_thread::sleep_until(end);
            return false;
        }
        Clock::time_point now = Clock::now();
        if (!nextLook_) nextLook_ = now + *interval;
        if (*nextLook_ > end) {
            std::this_thread::sleep_until(end);
            return false;
        }
        std::this_thread::sleep_until(*nextLook_);
        // A look that took long does not make the next ones come in a burst.
        nextLook_ = std::max(*nextLook_ + *interval, Clock::now());
        if (look_()) return true;
    }
}

}  // namespace tessel::service
