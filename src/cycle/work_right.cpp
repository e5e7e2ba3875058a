#include "cycle/work_right.h"

#include <unistd.h>

#include "db/database_error.h"
#include "db/instance_lock.h"
#include "util/event_log.h"
#include "util/host_name.h"

namespace tessel::cycle {

bool SessionLockRight::Regain(db::Connection& cn) { return db::AcquireInstanceLock(cn); }

std::string LocalHostName() {
    const std::string& name = MachineName();
    return name.empty() ? "unknown" : name;
}

ActiveInstance::ActiveInstance() : keeper_(LocalHostName(), std::to_string(::getpid())) {}

ClaimResult ActiveInstance::Claim(db::Database& db, std::chrono::seconds lease) {
    const config::ConnectionParameters& parameters = db.Cn().Parameters();
    lockName_ = db::InstanceLockName(parameters.Database);
    if (mode_ == Election::Lease) {
        try {
            LeaseClaim claim = keeper_.Claim(parameters, lease);
            return {claim.Held, claim.Holder};
        } catch (const db::DatabaseError& e) {
            if (!db::IsPrivilegeError(e.Number())) throw;
            FallBack(e, keeper_.LastStep(), parameters.Database);
        }
    }
    lockTaken_ = db::AcquireInstanceLock(db.Cn());
    return {lockTaken_, std::nullopt};
}

void ActiveInstance::LetGo(db::Database& db) noexcept {
    if (mode_ != Election::Lock || !lockTaken_ || !db.IsConnected()) return;
    lockTaken_ = false;
    try {
        db::ReleaseInstanceLock(db.Cn());
    } catch (const std::exception&) {
        // The server frees it when the session ends.
    }
}

void ActiveInstance::FallBack(const db::DatabaseError& refusal, LeaseStep step, const std::string& database) {
    mode_ = Election::Lock;
    const char* privilege = step == LeaseStep::Insert ? "INSERT" : step == LeaseStep::Update ? "UPDATE" : "SELECT";
    WriteWarning(kServiceSource,
                 std::string("The database account lacks the ") + privilege + " privilege on the table configs, "
                 "so this instance cannot hold the lease " + db::kLeaseKey + ": it uses the lock " +
                     db::InstanceLockName(database) +
                     " instead, which keeps a second instance from working only when all of them use one "
                     "database server (not on a Galera or Group Replication cluster), and a frozen host keeps "
                     "it up to 15 minutes; grant " + privilege + " on configs to use the lease: " +
                     refusal.what());
}

bool ActiveInstance::StillHeld() { return mode_ == Election::Lock || keeper_.Valid(); }

bool ActiveInstance::Regain(db::Connection& cn) {
    // The lease does not live in a session: a session opened again changes nothing of it.
    if (mode_ == Election::Lease) return keeper_.Valid();
    return lockTaken_ = lock_.Regain(cn);
}

bool ActiveInstance::ConfirmIn(db::Database& db) {
    return mode_ == Election::Lock || keeper_.ConfirmIn(db.Renewal());
}

std::optional<db::LeaseHolder> ActiveInstance::HeldLease() const {
    if (mode_ != Election::Lease) return std::nullopt;
    return keeper_.Held();
}

std::string ActiveInstance::Name() const {
    if (mode_ == Election::Lock) return "the lock " + lockName_;
    return std::string("the lease ") + db::kLeaseKey;
}

}  // namespace tessel::cycle
