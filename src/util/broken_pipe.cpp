#include "util/broken_pipe.h"

#include <csignal>

namespace tessel {

void IgnoreBrokenPipes() noexcept { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace tessel
