#include "cycle/spool_drain.h"

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

// SendRow - every recipient of the row, with the row's attachments; false when the drain must
// defer. The attachment files are gone when it returns or throws.
bool SendRow(db::Database& db, mail::MailSender& sender, const SmtpSettings& smtp,
             const std::string& attachmentRoot, const SpoolRow& row) {
    AttachmentFiles files(attachmentRoot);
    for (const std::string& uid : Explode(kListSeparator, row.Attachments, 0)) {
        files.RebuildAttachment(db, uid);
    }
    for (const std::string& recipient : Explode(kListSeparator, row.Recipients, 0)) {
        mail::DeliveryResult result =
            sender.SendEmail(row.Sender, recipient, row.Subject, row.Body, smtp.Host, smtp.UserName,
                             smtp.Password, files.Paths(), smtp.Port, smtp.UseTls);
        DeliveryDecision decision = DecideDelivery(result, recipient, smtp);
        if (!decision.Warning.empty()) WriteWarning(kServiceSource, decision.Warning);
        if (decision.Action == DeliveryAction::Defer) return false;
    }
    return true;
}

void DeleteRow(db::Database& db, std::int32_t id) {
    db::Statement& q = db.DeleteMail();
    q.SetInteger("id", id);
    q.Execute();
}

}  // namespace

DrainOutcome DrainSpool(db::Database& db, mail::MailSender& sender, const SmtpSettings& smtp,
                        const std::string& attachmentRoot) {
    std::set<std::int32_t> processed;
    db::Statement& q = db.GetMail();
    for (;;) {
        q.Open();
        if (q.Empty()) {
            q.Close();
            return DrainOutcome::Drained;
        }
        for (; !q.AtEnd(); q.Next()) {
            SpoolRow row = ReadRow(q);
            if (!processed.insert(row.Id).second) {
                q.Close();
                throw Error("Queued mail " + std::to_string(row.Id) +
                            " was processed but could not be removed from mail_spooler");
            }
            if (!SendRow(db, sender, smtp, attachmentRoot, row)) {
                q.Close();
                return DrainOutcome::Deferred;
            }
            DeleteRow(db, row.Id);
        }
        q.Close();
    }
}

}  // namespace tessel::cycle
