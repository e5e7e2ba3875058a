// The lease that makes one instance the active one: a row of configs whose value names the holder,
// taken and renewed only by conditional UPDATEs, so that the server (or a cluster's certification)
// lets one writer win.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/statement.h"

namespace tessel::db {

// The configs key of the lease row.
inline constexpr const char* kLeaseKey = "service.active";

// LeaseHolder - one lease value "<host>;<process id>;<epoch>;<expiry, UTC>". Expiry is
// "YYYY-MM-DD HH:MM:SS" with an optional fraction of a second; the epoch grows at every takeover.
struct LeaseHolder {
    std::string Host;
    std::string ProcessId;
    std::uint64_t Epoch = 0;
    std::string Expiry;
};

// ParseLeaseValue - the holder a value names; nullopt for anything else (empty, NULL, damaged),
// which counts as a free lease.
std::optional<LeaseHolder> ParseLeaseValue(const std::string& value);

// LeaseHost - host as it may stand in a lease value: ';' and bytes outside printable ASCII become
// '_', and it is cut to 128 bytes so that the value fits the column.
std::string LeaseHost(const std::string& host);

// LeaseRows - the lease rows as the server holds them now, and the server's UTC time.
struct LeaseRows {
    std::vector<std::optional<LeaseHolder>> Holders;  // one per row; nullopt: a free value
    std::string Now;                                   // "YYYY-MM-DD HH:MM:SS.ffffff", UTC
};

// ReadLeaseRows - every row of the key. Throws DatabaseError.
LeaseRows ReadLeaseRows(Connection& cn);

// IsValid - the holder's expiry lies after now (both as the server writes them).
bool IsValid(const LeaseHolder& holder, const std::string& now);

// EnsureLeaseRow - inserts a free lease row when there is none, in a serializable transaction:
// two instances doing so at once cannot both insert (one of them gets a deadlock and finds the
// other's row). Throws DatabaseError (also when the account may not INSERT into configs).
void EnsureLeaseRow(Connection& cn);

// TakeLease - one UPDATE of every lease row that is free (its value damaged or expired by the
// server's clock) to host;processId;<its epoch + 1>;<server's now + seconds>. Returns the rows it
// matched. Throws DatabaseError (a deadlock when another writer won on a cluster).
std::uint64_t TakeLease(Connection& cn, const std::string& host, const std::string& processId,
                        std::chrono::seconds seconds);

// RenewLease - moves the expiry of the lease rows that still name holder (host, process and epoch)
// to the server's now + seconds. Returns the rows matched: 0 when another instance took the lease.
// Inside a transaction it confirms the epoch for the writes that follow: the row stays locked until
// the end, and on a cluster the change makes the transaction conflict with a takeover.
// Throws DatabaseError.
std::uint64_t RenewLease(Connection& cn, const LeaseHolder& holder, std::chrono::seconds seconds);

// LeaseHolderPrefix - "<host>;<process id>;<epoch>;": how a lease value names its holder.
std::string LeaseHolderPrefix(const LeaseHolder& holder);

// LeaseNamesHolder - a condition, for a statement with the parameter holder (a LeaseHolderPrefix),
// that a lease row still names that holder. A change of the queue under it takes effect only while
// the lease is that holder's: the statement reads the lease rows with a shared lock, so a takeover
// on the same server waits for it to end. (A cluster node's read sees another node's takeover only
// once it has been applied there: on a cluster, RenewLease in the change's transaction is the fence.)
std::string LeaseNamesHolder();

// LeaseRenewal - RenewLease as a statement kept prepared on one connection (prepared again on each
// new session), for a caller that renews at every write.
class LeaseRenewal {
public:
    explicit LeaseRenewal(Connection& cn);
    // Run - RenewLease on the statement's connection. Throws DatabaseError.
    std::uint64_t Run(const LeaseHolder& holder, std::chrono::seconds seconds);

private:
    Connection& cn_;
    Statement q_;
};

// ReleaseLease - lets the lease rows that name holder expire now, so that another instance may
// take over at once. Throws DatabaseError.
void ReleaseLease(Connection& cn, const LeaseHolder& holder);

}  // namespace tessel::db
