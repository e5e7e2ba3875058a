#include "util/stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

}  // namespace tessel
