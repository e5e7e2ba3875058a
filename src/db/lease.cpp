#include "db/lease.h"

#include <cctype>

#include "db/database_error.h"
#include "db/statement.h"
#include "util/explode.h"

namespace tessel::db {
namespace {

using K = ParameterKind;
using F = FieldKind;

// The server writes every time in this form; as text, a later time compares greater.
constexpr const char* kTimeFormat = "'%Y-%m-%d %H:%i:%s.%f'";
constexpr std::size_t kLongestHost = 128;
constexpr const char* kLargestEpoch = "999999999999999999";  // 18 digits, as the form allows

std::string ServerNow() { return std::string("DATE_FORMAT(UTC_TIMESTAMP(6), ") + kTimeFormat + ")"; }

std::string ServerExpiry() {
    return std::string("DATE_FORMAT(UTC_TIMESTAMP(6) + INTERVAL :seconds SECOND, ") + kTimeFormat + ")";
}

// A value the service wrote: the epoch fits 64 bits, so the server can count on from it.
constexpr const char* kValuePattern =
    "'^[^;]*;[0-9]{1,10};[0-9]{1,18};[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}([.][0-9]{1,6})?$'";

std::string LeaseKeyCondition() { return std::string("Propriedade = '") + kLeaseKey + "'"; }

bool AllDigits(const std::string& text, std::size_t longest) {
    if (text.empty() || text.size() > longest) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// IsExpiryText - "YYYY-MM-DD HH:MM:SS" with an optional fraction of up to six digits.
bool IsExpiryText(const std::string& text) {
    static const std::string kShape = "dddd-dd-dd dd:dd:dd";
    if (text.size() < kShape.size()) return false;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
    }
    if (text.size() == kShape.size()) return true;
    return text[kShape.size()] == '.' && AllDigits(text.substr(kShape.size() + 1), 6);
}

// HeldBy - the lease row, while its value names the holder given as :holder (a LeaseHolderPrefix):
// what renewing, releasing and changing the queue under the lease all require.
std::string HeldBy() { return LeaseKeyCondition() + " AND LEFT(Valor, CHAR_LENGTH(:holder)) = :holder"; }

}  // namespace

std::optional<LeaseHolder> ParseLeaseValue(const std::string& value) {
    std::vector<std::string> parts = Explode(";", value, 0);
    if (parts.size() != 4 || !AllDigits(parts[1], 10) || !AllDigits(parts[2], 18) || !IsExpiryText(parts[3])) {
        return std::nullopt;
    }
    return LeaseHolder{parts[0], parts[1], std::stoull(parts[2]), parts[3]};
}

std::string LeaseHolderPrefix(const LeaseHolder& holder) {
    return holder.Host + ";" + holder.ProcessId + ";" + std::to_string(holder.Epoch) + ";";
}

std::string LeaseNamesHolder() {
    return "EXISTS (SELECT 1 FROM configs WHERE " + HeldBy() + ")";
}

std::string LeaseHost(const std::string& host) {
    std::string kept = host.substr(0, kLongestHost);
    for (char& c : kept) {
        if (c == ';' || static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) c = '_';
    }
    return kept;
}

bool IsValid(const LeaseHolder& holder, const std::string& now) { return holder.Expiry > now; }

LeaseRows ReadLeaseRows(Connection& cn) {
    Statement q(cn, "q_LeaseRows", StatementKind::Query,
                {"SELECT Valor, " + ServerNow() + " AS Agora FROM configs WHERE " + LeaseKeyCondition()}, {},
                {{"Valor", F::String}, {"Agora", F::String}});
    q.Open();
    LeaseRows rows;
    rows.Now = q.ReadText("Agora");
    for (; !q.AtEnd(); q.Next()) rows.Holders.push_back(ParseLeaseValue(q.ReadText("Valor")));
    q.Close();
    if (rows.Holders.empty()) {
        // No row, so no time came with it.
        ResultHandle result = cn.Query("SELECT " + ServerNow());
        MYSQL_ROW row = ::mysql_fetch_row(result.get());
        if (row != nullptr && row[0] != nullptr) rows.Now = row[0];
    }
    return rows;
}

void EnsureLeaseRow(Connection& cn) {
    // The locking read of the insert takes the gaps of configs: a second instance inserting at the
    // same moment waits for this one and then finds its row, or loses a deadlock.
    cn.Execute("SET TRANSACTION ISOLATION LEVEL SERIALIZABLE");
    cn.Execute("START TRANSACTION");
    try {
        cn.Execute("INSERT INTO configs (Propriedade, Valor) SELECT '" + std::string(kLeaseKey) +
                   "', '' FROM DUAL WHERE NOT EXISTS (SELECT 1 FROM configs WHERE " + LeaseKeyCondition() + ")");
        cn.Execute("COMMIT");
    } catch (const DatabaseError& e) {
        if (!IsConnectionError(e.Number())) {
            try {
                cn.Execute("ROLLBACK");
            } catch (const DatabaseError&) {
                // The server undoes the transaction when the session ends.
            }
        }
        // The other instance's row is there now.
        if (IsLockConflict(e.Number())) return;
        throw;
    }
}

std::uint64_t TakeLease(Connection& cn, const std::string& host, const std::string& processId,
                        std::chrono::seconds seconds) {
    const std::string damaged = std::string("(Valor IS NULL OR Valor NOT REGEXP ") + kValuePattern + ")";
    // The epoch is read only from a value of the right form: no conversion can fail. After the
    // largest the form allows it starts again from 1 (a value of more digits would read as free).
    const std::string epoch = "CAST(SUBSTRING_INDEX(SUBSTRING_INDEX(Valor, ';', 3), ';', -1) AS UNSIGNED)";
    const std::string nextEpoch = std::string("IF(Valor REGEXP ") + kValuePattern + " AND " + epoch + " < " +
                                  kLargestEpoch + ", " + epoch + " + 1, 1)";
    Statement q(cn, "q_TakeLease", StatementKind::Command,
                {"UPDATE configs SET Valor = CONCAT(:holder, " + nextEpoch + ", ';', " + ServerExpiry() + ")",
                 "WHERE " + LeaseKeyCondition() + " AND (" + damaged + " OR SUBSTRING_INDEX(Valor, ';', -1) < " +
                     ServerNow() + ")"},
                {{"holder", K::String}, {"seconds", K::Integer}});
    q.SetString("holder", host + ";" + processId + ";");
    q.SetInteger("seconds", static_cast<std::int32_t>(seconds.count()));
    q.Execute();
    return cn.MatchedRows().value_or(0);
}

LeaseRenewal::LeaseRenewal(Connection& cn)
    : cn_(cn),
      q_(cn, "q_RenewLease", StatementKind::Command,
         {"UPDATE configs SET Valor = CONCAT(:holder, " + ServerExpiry() + ")",
          "WHERE " + HeldBy()},
         {{"holder", K::String}, {"seconds", K::Integer}}) {}

std::uint64_t LeaseRenewal::Run(const LeaseHolder& holder, std::chrono::seconds seconds) {
    q_.SetString("holder", LeaseHolderPrefix(holder));
    q_.SetInteger("seconds", static_cast<std::int32_t>(seconds.count()));
    q_.Execute();
    return cn_.MatchedRows().value_or(0);
}

std::uint64_t RenewLease(Connection& cn, const LeaseHolder& holder, std::chrono::seconds seconds) {
    return LeaseRenewal(cn).Run(holder, seconds);
}

void ReleaseLease(Connection& cn, const LeaseHolder& holder) {
    Statement q(cn, "q_ReleaseLease", StatementKind::Command,
                {"UPDATE configs SET Valor = CONCAT(:holder, DATE_FORMAT(UTC_TIMESTAMP(), '%Y-%m-%d %H:%i:%s'))",
                 "WHERE " + HeldBy()},
                {{"holder", K::String}});
    q.SetString("holder", LeaseHolderPrefix(holder));
    q.Execute();
}

}  // namespace tessel::db
