#include "service/signal_watcher.h"

#include <cerrno>

#include "util/error.h"
#include "util/event_log.h"

namespace tessel::service {

int SignalWatcher::WakeSignal() noexcept { return SIGRTMIN + 1; }

SignalWatcher::SignalWatcher(const sigset_t& signals, Handler handler)
    : signals_(signals), handler_(std::move(handler)) {
    sigaddset(&signals_, WakeSignal());
    ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    try {
        thread_ = std::thread([this] { Watch(); });
    } catch (...) {
        ::pthread_sigmask(SIG_UNBLOCK, &signals_, nullptr);
        throw;
    }
}

SignalWatcher::~SignalWatcher() {
    done_.store(true);
    ::pthread_kill(thread_.native_handle(), WakeSignal());
    thread_.join();
}

void SignalWatcher::Watch() noexcept {
    for (;;) {
        siginfo_t info{};
        if (::sigwaitinfo(&signals_, &info) < 0) {
            if (errno == EINTR) continue;
            // Cannot happen with a valid set; the signals then wait, blocked, until the end.
            WriteApplicationRecord(SystemText(errno));
            return;
        }
        if (info.si_signo == WakeSignal()) {
            if (done_.load()) return;
            continue;
        }
        if (handler_) handler_(info);
    }
}

}  // namespace tessel::service
