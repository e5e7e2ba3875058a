// --flush: every queued row may be tried at once.
#pragma once

#include <iosfwd>

#include "config/file_locations.h"

namespace tessel::service {

// RunFlush - clears the back-off of every row in the retry state of the state directory. When an
// instance works with that directory (it holds its instance file), that instance is sent
// FlushSignal: it clears its own back-offs, rewrites its file and starts a cycle. Otherwise the file
// is rewritten here, under the instance file's lock, so that an instance starting meanwhile reads
// it only afterwards. One line on out; returns 0, or 1 with the reason on err. Never throws.
int RunFlush(const config::FileLocations& locations, std::ostream& out, std::ostream& err) noexcept;

}  // namespace tessel::service
