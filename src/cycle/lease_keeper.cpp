#include "cycle/lease_keeper.h"

#include <algorithm>
#include <exception>

#include "db/database_error.h"

namespace tessel::cycle {
namespace {

using Clock = std::chrono::steady_clock;

// Below this a renewal could not finish in time on a loaded host.
constexpr std::chrono::milliseconds kShortestRenewInterval{500};
// A claim or renewal that waits longer than this for the lease row finds it held by another
// instance's write in progress (or by a host frozen in one, until the server ends that session):
// the lease counts as taken this round, instead of the wait running into the network timeout.
constexpr std::chrono::seconds kLeaseLockWait{2};

// SameInstance - the holder is the instance of host and processId.
bool SameInstance(const db::LeaseHolder& a, const std::string& host, const std::string& processId) {
    return a.Host == host && a.ProcessId == processId;
}

}  // namespace

std::chrono::milliseconds RenewInterval(std::chrono::seconds lease) {
    auto third = std::chrono::duration_cast<std::chrono::milliseconds>(lease) / 3;
    return std::max(kShortestRenewInterval,
                    std::min<std::chrono::milliseconds>(kLeaseRenewInterval, third));
}

LeaseKeeper::LeaseKeeper(std::string host, std::string processId)
    : host_(db::LeaseHost(host)), processId_(std::move(processId)) {}

void LeaseKeeper::SetName(const std::string& host, std::string processId) {
    host_ = db::LeaseHost(host);
    processId_ = std::move(processId);
}

LeaseKeeper::~LeaseKeeper() {
    StopRenewals();
    std::optional<db::LeaseHolder> held = Held();
    if (!held) return;
    std::lock_guard<std::mutex> hold(io_);
    try {
        if (connection_.IsConnected()) db::ReleaseLease(connection_, *held);
    } catch (const std::exception&) {
        // The lease then runs out by itself.
    }
}

LeaseClaim LeaseKeeper::Claim(const config::ConnectionParameters& parameters, std::chrono::seconds lease) {
    std::lock_guard<std::mutex> hold(io_);
    {
        std::lock_guard<std::mutex> state(state_);
        lease_ = lease;
        inCycle_ = true;
    }
    step_ = LeaseStep::Read;
    connection_.SetParameters(parameters);
    // A renewal that waits longer than the lease is of no use: the lease is gone by then.
    connection_.SetNetworkTimeout(std::max(lease, std::chrono::seconds(5)));
    connection_.SetLockWaitTimeout(kLeaseLockWait);
    if (connection_.IsConnected() && !connection_.Ping()) connection_.Disconnect();
    connection_.Connect();
    if (db::ReadLeaseRows(connection_).Holders.empty()) {
        step_ = LeaseStep::Insert;
        db::EnsureLeaseRow(connection_);
    }
    step_ = LeaseStep::Update;
    const Clock::time_point started = Clock::now();
    std::optional<db::LeaseHolder> held = Held();
    try {
        if (held && db::RenewLease(connection_, *held, lease) == 0) Lost();
        if (!Held()) db::TakeLease(connection_, host_, processId_, lease);
    } catch (const db::DatabaseError& e) {
        // On a cluster another node's writer won: the lease is read as it is now.
        if (!db::IsLockConflict(e.Number())) throw;
    }
    step_ = LeaseStep::Read;
    db::LeaseRows rows = db::ReadLeaseRows(connection_);
    LeaseClaim claim;
    claim.Rows = rows.Holders.size();
    bool allMine = !rows.Holders.empty();
    for (const std::optional<db::LeaseHolder>& holder : rows.Holders) {
        bool valid = holder && db::IsValid(*holder, rows.Now);
        if (valid && (!claim.Holder || !SameInstance(*holder, host_, processId_))) claim.Holder = holder;
        allMine = allMine && valid && SameInstance(*holder, host_, processId_) &&
                  holder->Epoch == rows.Holders.front()->Epoch;
    }
    claim.Held = allMine;
    if (!claim.Held) {
        Lost();
        return claim;
    }
    {
        std::lock_guard<std::mutex> state(state_);
        held_ = claim.Holder;
    }
    Confirmed(started);
    StartRenewals();
    return claim;
}

bool LeaseKeeper::Valid() const {
    std::int64_t until = validUntil_.load();
    return until != 0 && Clock::now().time_since_epoch().count() < until;
}

bool LeaseKeeper::ConfirmIn(db::LeaseRenewal& renewal) {
    std::optional<db::LeaseHolder> held = Held();
    if (!held) return false;
    std::chrono::seconds lease;
    {
        std::lock_guard<std::mutex> state(state_);
        lease = lease_;
    }
    const Clock::time_point started = Clock::now();
    if (renewal.Run(*held, lease) == 0) {
        Lost(held->Epoch);
        return false;
    }
    Confirmed(started);
    return true;
}

void LeaseKeeper::CycleEnded() {
    std::lock_guard<std::mutex> state(state_);
    // A cycle that did not claim (held by the switch) does not count as work.
    if (!inCycle_) return;
    inCycle_ = false;
    cycleEnd_ = Clock::now();
}

std::optional<db::LeaseHolder> LeaseKeeper::Held() const {
    std::lock_guard<std::mutex> state(state_);
    return held_;
}

void LeaseKeeper::Confirmed(Clock::time_point started) {
    std::lock_guard<std::mutex> state(state_);
    if (!held_) return;
    std::int64_t until = (started + lease_).time_since_epoch().count();
    // A later confirmation may finish first: the lease lasts from the later start.
    if (until > validUntil_.load()) validUntil_.store(until);
}

void LeaseKeeper::Lost(std::optional<std::uint64_t> epoch) {
    std::lock_guard<std::mutex> state(state_);
    // A renewal of an epoch that a later claim replaced tells nothing about the lease held now.
    if (epoch && held_ && held_->Epoch != *epoch) return;
    held_.reset();
    validUntil_.store(0);
}

void LeaseKeeper::StartRenewals() {
    std::lock_guard<std::mutex> state(state_);
    if (renewing_) return;
    // A renewer that ended after a lost lease is finished: it only has to be joined.
    if (renewer_.joinable()) renewer_.join();
    renewing_ = true;
    stopping_ = false;
    renewer_ = std::thread([this] { RenewLoop(); });
}

void LeaseKeeper::StopRenewals() noexcept {
    {
        std::lock_guard<std::mutex> state(state_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (renewer_.joinable()) renewer_.join();
}

void LeaseKeeper::RenewLoop() {
    std::unique_lock<std::mutex> state(state_);
    while (held_ && !stopping_) {
        if (wake_.wait_for(state, RenewInterval(lease_), [this] { return stopping_; })) break;
        if (!held_) break;
        // An instance that no longer cycles does not work: its lease is left to run out.
        if (!inCycle_ && Clock::now() - cycleEnd_ >= lease_) continue;
        db::LeaseHolder held = *held_;
        std::chrono::seconds lease = lease_;
        state.unlock();
        std::optional<std::uint64_t> matched;
        const Clock::time_point started = Clock::now();
        {
            std::lock_guard<std::mutex> hold(io_);
            try {
                connection_.Connect();
                matched = db::RenewLease(connection_, held, lease);
            } catch (const std::exception&) {
                // Tried again at the next round; meanwhile the lease runs out by Valid's clock.
                connection_.Disconnect();
            }
        }
        if (matched && *matched == 0) Lost(held.Epoch);
        if (matched && *matched > 0) Confirmed(started);
        state.lock();
    }
    renewing_ = false;
}

}  // namespace tessel::cycle
