#include "cycle/spool_drain.h"

#include <optional>
#include <set>

#include "cycle/attachment.h"
#include "cycle/delivery_policy.h"
#include "util/event_log.h"
#include "util/explode.h"

namespace tessel::cycle {
namespace {

constexpr const char* kListSeparator = ";";

struct SpoolRow {
    std::int32_t Id = 0;
    std::string Sender, Recipients, Subject, Body, Attachments;
};

SpoolRow ReadRow(const db::Statement& q) {
    return {q.ReadInteger("ID"), q.ReadText("Remetente"), q.ReadText("Destinatario"),
            q.ReadText("Assunto"), q.ReadText("Texto"), q.ReadText("Anexos")};
}

void Count(DrainCounts& counts, const smtp::DeliveryResult& result, DeliveryAction action) {
    if (result.Delivered) {
        ++counts.Delivered;
    } else if (action == DeliveryAction::Defer) {
        ++counts.Deferred;
    } else if (action == DeliveryAction::Continue) {
        ++counts.Refused;
    }
}

bool StopRaised(const StopSignal* stop) {
    return stop != nullptr && stop->Requested();
}

// SendRow - every recipient of the row, with the row's attachments; the drain's outcome when it
// must end at this row (deferred or stopped). The attachment files are gone when it returns or
// throws.
std::optional<DrainOutcome> SendRow(db::Database& db, mail::MailSender& sender, const SmtpSettings& smtp,
                                    const std::string& attachmentRoot, const SpoolRow& row,
                                    DrainCounts& counts, const StopSignal* stop) {
    AttachmentFiles files(attachmentRoot);
    for (const std::string& uid : Explode(kListSeparator, row.Attachments, 0)) {
        files.RebuildAttachment(db, uid);
    }
    for (const std::string& recipient : Explode(kListSeparator, row.Recipients, 0)) {
        if (StopRaised(stop)) return DrainOutcome::Stopped;
        smtp::DeliveryResult result =
            sender.SendEmail(row.Sender, recipient, row.Subject, row.Body, files.Paths(), smtp);
        DeliveryDecision decision = DecideDelivery(result, recipient, smtp);
        Count(counts, result, decision.Action);
        if (!decision.Warning.empty()) WriteWarning(kServiceSource, decision.Warning);
        if (decision.Action == DeliveryAction::Defer) return DrainOutcome::Deferred;
        if (decision.Action == DeliveryAction::Stop) return DrainOutcome::Stopped;
    }
    return std::nullopt;
}

void DeleteRow(db::Database& db, std::int32_t id) {
    db::Statement& q = db.DeleteMail();
    q.SetInteger("id", id);
    q.Execute();
}

}  // namespace

DrainResult DrainSpool(db::Database& db, mail::MailSender& sender, const SmtpSettings& smtp,
                       const std::string& attachmentRoot, const StopSignal* stop) {
    DrainResult drain;
    std::set<std::int32_t> processed;
    db::Statement& q = db.GetMail();
    for (;;) {
        q.Open();
        if (q.Empty()) {
            q.Close();
            return drain;
        }
        for (; !q.AtEnd(); q.Next()) {
            SpoolRow row = ReadRow(q);
            if (!processed.insert(row.Id).second) {
                q.Close();
                throw Error("Queued mail " + std::to_string(row.Id) +
                            " was processed but could not be removed from mail_spooler");
            }
            if (auto end = SendRow(db, sender, smtp, attachmentRoot, row, drain.Counts, stop)) {
                q.Close();
                drain.Outcome = *end;
                return drain;
            }
            DeleteRow(db, row.Id);
        }
        q.Close();
    }
}

}  // namespace tessel::cycle
