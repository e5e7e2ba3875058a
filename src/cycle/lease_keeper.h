// The lease held by this instance: claimed at each cycle and renewed in between by a thread of its
// own, on a database connection of its own, so that a long send never lets it lapse.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "config/connection_parameters.h"
#include "db/connection.h"
#include "db/lease.h"

namespace tessel::cycle {

// kLeaseRenewInterval - how often a held lease is renewed (more often when the lease is shorter
// than three of these).
inline constexpr std::chrono::seconds kLeaseRenewInterval{10};

// LeaseClaim - what one claim found: whether this instance holds the lease now, the holder of the
// lease (this instance's own when held; none when the lease is free or damaged) and the rows of
// the key.
struct LeaseClaim {
    bool Held = false;
    std::optional<db::LeaseHolder> Holder;
    std::size_t Rows = 0;
};

// LeaseStep - the statement of a claim that the server refused (for the fallback's record).
enum class LeaseStep { Read, Insert, Update };

class LeaseKeeper {
public:
    // host and processId name this instance in the lease value.
    LeaseKeeper(std::string host, std::string processId);
    // Stops the renewals and lets a held lease expire at once, so that a standby takes over at its
    // next cycle. Never throws.
    ~LeaseKeeper();
    LeaseKeeper(const LeaseKeeper&) = delete;
    LeaseKeeper& operator=(const LeaseKeeper&) = delete;

    // SetName - the host and process id of the lease value from now on; only before the first Claim.
    void SetName(const std::string& host, std::string processId);

    // Claim - on the keeper's connection (opened with parameters when needed): renews the lease
    // this instance holds, or takes a free one (inserting the row once when there is none); while
    // it is held, a thread renews it every kLeaseRenewInterval (or a third of lease). Throws
    // DatabaseError; LastStep then tells which statement failed.
    LeaseClaim Claim(const config::ConnectionParameters& parameters, std::chrono::seconds lease);
    LeaseStep LastStep() const { return step_; }

    // Valid - the lease is this instance's and was last confirmed less than its length ago (by this
    // host's monotonic clock, which also runs while the process is stopped). Any thread.
    bool Valid() const;

    // ConfirmIn - inside the open transaction of renewal's connection, after a change of the queue:
    // renews the lease through it, so the transaction commits only while the lease is still this
    // instance's (on one server the row stays locked until the commit; on a cluster a takeover
    // makes it fail certification). False, and the lease counts as lost, when another instance took it.
    // Throws DatabaseError.
    bool ConfirmIn(db::LeaseRenewal& renewal);

    // CycleEnded - the cycle is over. Renewals go on while a cycle that claimed runs and for one
    // lease's length after it ended, so an instance that stops claiming (paused, held by the switch,
    // held up) lets its lease run out and a standby take over. Any thread.
    void CycleEnded();

    // Held - the lease value this instance holds, when it holds one.
    std::optional<db::LeaseHolder> Held() const;

private:
    void RenewLoop();
    void StartRenewals();
    void StopRenewals() noexcept;
    // Confirmed - the lease holds for lease from started on.
    void Confirmed(std::chrono::steady_clock::time_point started);
    // Lost - the lease is no longer this instance's (when epoch is given: if it still holds that one).
    void Lost(std::optional<std::uint64_t> epoch = std::nullopt);

    std::string host_;
    std::string processId_;
    LeaseStep step_ = LeaseStep::Read;

    std::mutex io_;  // one statement at a time on connection_
    db::Connection connection_;

    mutable std::mutex state_;
    std::condition_variable wake_;
    std::optional<db::LeaseHolder> held_;
    std::chrono::seconds lease_{60};
    bool stopping_ = false;
    bool renewing_ = false;
    bool inCycle_ = false;
    std::chrono::steady_clock::time_point cycleEnd_;
    std::thread renewer_;
    // steady_clock ticks until which the lease is this instance's; 0: not held.
    std::atomic<std::int64_t> validUntil_{0};
};

// RenewInterval - the pause between two renewals of a lease of the given length.
std::chrono::milliseconds RenewInterval(std::chrono::seconds lease);

}  // namespace tessel::cycle
