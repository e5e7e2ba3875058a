#include "db/database_error.h"

#include <algorithm>
#include <array>

namespace tessel::db {
namespace {

// The client library numbers its own errors (lost connection, server gone, ...) from 2000 to 2999.
constexpr unsigned int kFirstClientError = 2000;
constexpr unsigned int kLastClientError = 2999;

template <std::size_t N>
bool Among(const std::array<unsigned int, N>& numbers, unsigned int number) {
    return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
}

}  // namespace

bool IsConnectionError(unsigned int number) noexcept {
    // Too many connections, shutdown in progress, aborted or broken network packets, query
    // interrupted by KILL, connection killed, disconnected for inactivity.
    constexpr std::array<unsigned int, 19> kServerSide = {1040, 1053, 1077, 1078, 1079, 1080, 1152,
                                                          1153, 1154, 1155, 1156, 1157, 1158, 1159,
                                                          1160, 1161, 1317, 1927, 4031};
    return (number >= kFirstClientError && number <= kLastClientError) || Among(kServerSide, number);
}

bool IsLockConflict(unsigned int number) noexcept {
    constexpr std::array<unsigned int, 2> kLock = {1205, 1213};  // lock wait time-out, deadlock
    return Among(kLock, number);
}

bool IsDataError(unsigned int number) noexcept {
    constexpr std::array<unsigned int, 18> kData = {
        1048,  // column cannot be null
        1062,  // duplicate entry
        1263,  // NULL supplied to a NOT NULL column
        1264,  // out of range
        1265,  // data truncated
        1292,  // incorrect value (date, number)
        1300,  // invalid character string
        1365,  // division by 0
        1366,  // incorrect string value
        1367,  // illegal value
        1406,  // data too long
        1411,  // incorrect value for a function
        1451,  // a foreign key refuses the delete
        1452,  // a foreign key refuses the value
        1644,  // a trigger refused the row (SIGNAL)
        1690,  // value out of range
        3819,  // check constraint (MySQL)
        4025,  // check constraint (MariaDB)
    };
    return Among(kData, number);
}

bool IsPrivilegeError(unsigned int number) noexcept {
    constexpr std::array<unsigned int, 4> kDenied = {1044, 1142, 1143, 1227};
    return Among(kDenied, number);
}

}  // namespace tessel::db
