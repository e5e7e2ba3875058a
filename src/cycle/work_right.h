// The right of this instance to change the queue: the lease of configs, or where the account may
// not write that row, the named lock of the database session.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "cycle/lease_keeper.h"
#include "db/database.h"
#include "db/database_error.h"

namespace tessel::cycle {

// WorkRight - what the drain and the alarm dispatch ask before they send or write.
class WorkRight {
public:
    virtual ~WorkRight() = default;
    // StillHeld - at a message boundary, without asking the database: false once the right is
    // known to be lost.
    virtual bool StillHeld() = 0;
    // Regain - after the session cn was lost and opened again: whether this instance may still
    // write. Throws DatabaseError.
    virtual bool Regain(db::Connection& cn) = 0;
    // Fenced - whether each change of the queue goes in a transaction that calls ConfirmIn before
    // its commit.
    virtual bool Fenced() const = 0;
    // ConfirmIn - inside the open transaction of db's connection: whether the writes made in it may
    // be committed. Throws DatabaseError.
    virtual bool ConfirmIn(db::Database& db) = 0;
    // HeldLease - the lease value this instance holds, when its right is a lease it holds: a change
    // of the queue may then confirm it in the same statement (see db::LeaseNamesHolder).
    virtual std::optional<db::LeaseHolder> HeldLease() const { return std::nullopt; }
    // Name - the right as records name it ("the lease service.active", "the work lock ...").
    virtual std::string Name() const = 0;
};

// SessionLockRight - the named lock held by the session itself: it lasts as long as the session,
// so only a session opened again has to take it anew.
class SessionLockRight : public WorkRight {
public:
    bool StillHeld() override { return true; }
    bool Regain(db::Connection& cn) override;
    bool Fenced() const override { return false; }
    bool ConfirmIn(db::Database&) override { return true; }
    std::string Name() const override { return "the work lock"; }
};

// Election - how the active instance is chosen.
enum class Election {
    Lease,  // the row service.active of configs
    Lock,   // the named lock: the account may not write that row
};

// ClaimResult - what a cycle's claim found.
struct ClaimResult {
    bool Active = false;
    // The holder of the lease, as the claim read it (this instance when active); none with the
    // lock, or when the lease is free.
    std::optional<db::LeaseHolder> Holder;
};

// ActiveInstance - the election of this instance at every cycle, and its right to write between
// two cycles. The first claim that reaches the table decides: the lease, or (with one warning
// record naming the privilege that is missing) the lock for the rest of the process.
class ActiveInstance : public WorkRight {
public:
    // host and processId name this instance in the lease (by default this machine's name and the
    // process's id).
    ActiveInstance();

    // SetName - the host and process id this instance writes into the lease (two instances in one
    // process need names of their own); only before the first Claim.
    void SetName(const std::string& host, std::string processId) { keeper_.SetName(host, std::move(processId)); }

    // Claim - at a cycle's start, on db's open connection: the lease claimed (on a connection of its
    // own) or the lock taken. Throws DatabaseError.
    ClaimResult Claim(db::Database& db, std::chrono::seconds lease);
    Election Mode() const { return mode_; }
    // CycleEnded - the cycle that claimed is over (see LeaseKeeper::CycleEnded).
    void CycleEnded() { keeper_.CycleEnded(); }

    // LetGo - before db's session is closed or left: the lock it holds is freed now, not whenever
    // the server notices the session's end. The lease is the keeper's (released when it goes). Never
    // throws.
    void LetGo(db::Database& db) noexcept;

    bool StillHeld() override;
    bool Regain(db::Connection& cn) override;
    bool Fenced() const override { return mode_ == Election::Lease; }
    bool ConfirmIn(db::Database& db) override;
    std::optional<db::LeaseHolder> HeldLease() const override;
    std::string Name() const override;

private:
    // FallBack - from now on the lock; the warning says why.
    void FallBack(const db::DatabaseError& refusal, LeaseStep step, const std::string& database);

    Election mode_ = Election::Lease;
    bool lockTaken_ = false;  // the session of the last claim (or regain) won the lock
    std::string lockName_;
    LeaseKeeper keeper_;
    SessionLockRight lock_;
};

// LocalHostName - this machine's name (its node name when the name cannot be read).
std::string LocalHostName();

}  // namespace tessel::cycle
