#include "util/stop_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "util/error.h"

namespace tessel {

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw PlatformError(errno);
}

StopSignal::~StopSignal() {
    ::close(fd_);
}

void StopSignal::Request() noexcept {
    std::lock_guard lock(mutex_);
    if (requested_.exchange(true, std::memory_order_acq_rel)) return;
    std::uint64_t one = 1;
    // The counter cannot overflow with one write; a failure would only cost the prompt wake-up.
    [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
}

void StopSignal::Clear() noexcept {
    std::lock_guard lock(mutex_);
    if (!requested_.exchange(false, std::memory_order_acq_rel)) return;
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(fd_, &count, sizeof count);
}

bool WaitForSignals(std::chrono::steady_clock::time_point deadline,
                    std::initializer_list<const StopSignal*> signals) {
    std::vector<pollfd> fds;
    for (const StopSignal* signal : signals) {
        if (signal == nullptr) continue;
        if (signal->Requested()) return true;
        fds.push_back({signal->Fd(), POLLIN, 0});
    }
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
        if (ready < 0 && errno != EINTR) throw PlatformError(errno);
        for (const StopSignal* signal : signals) {
            if (signal != nullptr && signal->Requested()) return true;
        }
    }
}

}  // namespace tessel
