// Bounded waits of the end-to-end tests: each polls for the event it waits for, up to one limit.
#pragma once

#include <chrono>
#include <functional>

namespace tessel::e2e {

// kWaitLimit - the bound of every wait for the service or the database to get somewhere.
inline constexpr auto kWaitLimit = std::chrono::milliseconds(60000);

// WaitUntil - polls condition until it holds or limit has passed; true when it held.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = kWaitLimit);

}  // namespace tessel::e2e
