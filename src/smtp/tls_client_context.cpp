#include "smtp/tls_client_context.h"

#include <mutex>

#include <openssl/err.h>

#include "smtp/openssl_error.h"
#include "smtp/tls_layer.h"

namespace tessel::smtp {

namespace {

std::shared_ptr<SSL_CTX> MakeClientContext() {
    if (!InitialiseTlsLibrary()) {
        throw TlsError("The TLS library could not be started: " + OpenSslErrorText("unknown error"));
    }
    ERR_clear_error();
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1) {
        throw TlsError("The TLS context could not be made: " + OpenSslErrorText("unknown error"));
    }
    // Reading the system's bundle costs far more than a handshake: it is done here, once.
    SSL_CTX_set_default_verify_paths(ctx.get());
    ERR_clear_error();
    return ctx;
}

}  // namespace

std::shared_ptr<SSL_CTX> SharedClientContext() {
    static std::mutex lock;
    static std::shared_ptr<SSL_CTX> shared;
    std::lock_guard<std::mutex> guard(lock);
    if (!shared) {
        shared = MakeClientContext();
    }
    return shared;
}

}  // namespace tessel::smtp
