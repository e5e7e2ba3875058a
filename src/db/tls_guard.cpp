#include "db/tls_guard.h"

#include <mysql/plugin_auth.h>

#include <cstdarg>
#include <mutex>
#include <string>

#include "db/database_error.h"

// The plugin declarations of <mysql/client_plugin.h>, which cannot be included: Debian's
// libmariadb-dev ships it without the header it includes for compression plugins. The layout is
// the library's ABI for authentication plugins (interface version 1.0).
extern "C" {
struct st_mysql_client_plugin;
struct st_mysql_client_plugin* mysql_client_register_plugin(MYSQL* mysql, struct st_mysql_client_plugin* plugin);
}

namespace tessel::db {
namespace {

constexpr int kAuthenticationPluginType = 2;
constexpr unsigned int kAuthenticationInterfaceVersion = 0x0100;

struct AuthenticationPlugin {
    int Type;
    unsigned int InterfaceVersion;
    const char* Name;
    const char* Author;
    const char* Description;
    unsigned int Version[3];
    const char* License;
    void* MysqlApi;
    int (*Init)(char*, size_t, int, va_list);
    int (*Deinit)();
    int (*Options)(const char*, const void*);
    int (*AuthenticateUser)(MYSQL_PLUGIN_VIO* vio, MYSQL* mysql);
};

thread_local bool refused = false;

// GuardLogin - runs after the greeting, before the library has sent a byte. Without TLS in the
// greeting: stop here (nothing sent). With it: reading the server's first packet makes the library
// set up TLS and send the login with no answer for this method; the server then names its own
// method, and the library switches to it (CR_ERROR with a switch request read is that path).
int GuardLogin(MYSQL_PLUGIN_VIO* vio, MYSQL* mysql) {
    unsigned long capabilities = 0;
    if (::mariadb_get_infov(mysql, MARIADB_CONNECTION_SERVER_CAPABILITIES, &capabilities) != 0 ||
        (capabilities & CLIENT_SSL) == 0) {
        refused = true;
        return CR_ERROR;
    }
    unsigned char* packet = nullptr;
    vio->read_packet(vio, &packet);
    return CR_ERROR;
}

AuthenticationPlugin guardPlugin = {kAuthenticationPluginType,
                                    kAuthenticationInterfaceVersion,
                                    kTlsGuardMethod,
                                    "tesselcomsvc",
                                    "Refuses a server that does not offer TLS",
                                    {1, 0, 0},
                                    "GPL",
                                    nullptr,
                                    nullptr,
                                    nullptr,
                                    nullptr,
                                    GuardLogin};

}  // namespace

void ArmTlsGuard(MYSQL* handle) {
    static std::once_flag registered;
    static std::string failure;
    std::call_once(registered, [handle] {
        if (::mysql_client_register_plugin(handle, reinterpret_cast<st_mysql_client_plugin*>(&guardPlugin)) ==
            nullptr) {
            failure = ::mysql_error(handle);
        }
    });
    if (!failure.empty()) throw DatabaseError(0, "Cannot set up the TLS guard of the database login: " + failure);
    refused = false;
}

bool TlsGuardRefused() noexcept { return refused; }

}  // namespace tessel::db
