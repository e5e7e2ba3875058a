// One tick of the poll loop, behind an interface so that tests can count ticks instead of waiting.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace tessel::service {

inline constexpr std::chrono::milliseconds kDefaultTick{1000};

class Sleeper {
public:
    virtual ~Sleeper() = default;
    // Sleep - waits one tick.
    virtual void Sleep() = 0;
    // SleepOrWork - waits one tick, or less when new work turns up meanwhile: true then. Without a
    // way to look for work, the tick.
    virtual bool SleepOrWork() {
        Sleep();
        return false;
    }
};

// TickSleeper - sleeps the given tick length.
class TickSleeper : public Sleeper {
public:
    explicit TickSleeper(std::chrono::milliseconds tick = kDefaultTick) : tick_(tick) {}
    void Sleep() override;

protected:
    std::chrono::milliseconds tick_;
};

// WatchingSleeper - a tick in which the work is looked at every interval (as Interval says at each
// look; nothing: no looking), across ticks: a look that finds work ends the tick at once.
class WatchingSleeper : public TickSleeper {
public:
    using IntervalFn = std::function<std::optional<std::chrono::milliseconds>()>;
    using LookFn = std::function<bool()>;

    WatchingSleeper(std::chrono::milliseconds tick, IntervalFn interval, LookFn look)
        : TickSleeper(tick), interval_(std::move(interval)), look_(std::move(look)) {}
    bool SleepOrWork() override;

private:
    IntervalFn interval_;
    LookFn look_;
    std::optional<std::chrono::steady_clock::time_point> nextLook_;
};

}  // namespace tessel::service
