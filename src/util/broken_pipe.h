// The process's one defence against SIGPIPE.
#pragma once

namespace tessel {

// IgnoreBrokenPipes - from now on a write to a connection the peer has closed fails with EPIPE
// instead of ending the process. Process-wide, so it covers every writer alike: the SMTP socket,
// OpenSSL (which writes with write()), the database client and standard error. Call it once at
// start, before any thread exists. Never throws.
void IgnoreBrokenPipes() noexcept;

}  // namespace tessel
