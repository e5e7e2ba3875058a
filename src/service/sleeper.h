// One tick of the poll loop, behind an interface so that tests can count ticks instead of waiting.
#pragma once

#include <chrono>

namespace tessel::service {

inline constexpr std::chrono::milliseconds kDefaultTick{1000};

class Sleeper {
public:
    virtual ~Sleeper() = default;
    // Sleep - waits one tick.
    virtual void Sleep() = 0;
};

// TickSleeper - sleeps the given tick length.
class TickSleeper : public Sleeper {
public:
    explicit TickSleeper(std::chrono::milliseconds tick = kDefaultTick) : tick_(tick) {}
    void Sleep() override;

private:
    std::chrono::milliseconds tick_;
};

}  // namespace tessel::service
