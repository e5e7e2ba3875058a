#include "service/sleeper.h"

#include <thread>

namespace tessel::service {

void TickSleeper::Sleep() { std::this_thread::sleep_for(tick_); }

}  // namespace tessel::service
