// A mail server that holds one message, arrived but not yet taken, for as long as a test needs: the
// service is then in the middle of that message when the test strikes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <future>
#include <map>
#include <string>

#include "support/smtp_sink.h"

namespace tessel::e2e {

// kHoldLimit - the bound of every wait for the held message.
inline constexpr auto kHoldLimit = std::chrono::milliseconds(60000);

// HeldSink - a mail server that holds its held-th message (from 1) when its text has arrived,
// before it is stored and answered, until Release(): the service is then in the middle of that
// message for as long as a test needs.
class HeldSink {
public:
    explicit HeldSink(int held) : released_(release_.get_future().share()), sink_(Hold(held)) {}
    ~HeldSink() { Release(); }  // before the sink's thread is joined
    HeldSink(const HeldSink&) = delete;
    HeldSink& operator=(const HeldSink&) = delete;

    int Port() const { return sink_.Port(); }
    std::map<std::string, int> RecipientCounts() const { return sink_.RecipientCounts(); }
    bool WaitForCount(std::size_t count) const { return sink_.WaitForCount(count, kHoldLimit); }
    // WaitInHand - true once the held message has arrived.
    bool WaitInHand() { return inHand_.get_future().wait_for(kHoldLimit) == std::future_status::ready; }
    void Release() {
        if (!releasedOnce_.exchange(true)) release_.set_value();
    }

private:
    test::SmtpSink::Options Hold(int held) {
        test::SmtpSink::Options options;
        options.OnMessage = [this, held](const test::SinkMessage&) {
            if (++taken_ != held) return;
            inHand_.set_value();
            released_.wait();
        };
        return options;
    }

    std::promise<void> inHand_;
    std::promise<void> release_;
    std::shared_future<void> released_;
    std::atomic<bool> releasedOnce_{false};
    std::atomic<int> taken_{0};
    test::SmtpSink sink_;
};

}  // namespace tessel::e2e
