// This machine's name, as the SMTP greeting and the lease name it.
#pragma once

#include <string>

namespace tessel {

// MachineName - the host name, else the node name, else empty; read at the first call and kept
// for the process's life (mail servers read theirs once at start too).
const std::string& MachineName();

}  // namespace tessel
