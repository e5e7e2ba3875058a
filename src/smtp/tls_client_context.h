// The process's TLS client context: the trust store is read once and every connection shares it.
#pragma once

#include <memory>

#include <openssl/ssl.h>

namespace tessel::smtp {

// SharedClientContext - the one client context of the process, made on first use: TLS 1.2 as the
// lowest version, the system's trust store loaded once. Each holder keeps it alive (an SSL made
// from it holds a reference of its own as well). Throws TlsError when the library cannot start or
// the context cannot be made; a later call tries again.
std::shared_ptr<SSL_CTX> SharedClientContext();

}  // namespace tessel::smtp
