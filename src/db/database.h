// The one connection `cn` and the named statements through which all database work passes.
#pragma once

#include <string>

#include "config/connection_parameters.h"
#include "db/connection.h"
#include "db/lease.h"
#include "db/statement.h"

namespace tessel::db {

// kMailPageRows - the most rows one read of the spool returns.
inline constexpr int kMailPageRows = 1000;
// kMailPageTextBytes - a longer Texto (possible only when the column was widened beyond TEXT) is
// left out of the page, as NULL, and read apart with GetMailText; NULL or empty reads as ''.
inline constexpr int kMailPageTextBytes = 65535;
// kMailTextPiece - the characters of Texto that one GetMailText read returns. The client library
// holds each piece twice (its packet buffer and the result) beside the text being built.
inline constexpr int kMailTextPiece = 2 * 1024 * 1024;

// kLogRecipientBytes - the longest recipient and Message-ID a mail_log row holds.
inline constexpr std::size_t kLogRecipientBytes = 255;
// kLogCleanupRows - the most mail_log rows one DeleteOldMailLog removes.
inline constexpr int kLogCleanupRows = 1000;

// TableEngine - a table's storage engine, and whether that engine has transactions.
struct TableEngine {
    std::string Name;
    bool Transactional = true;
};

class Database {
public:
    Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // SetParameters - the connection's parameters for every later Connect.
    void SetParameters(const config::ConnectionParameters& parameters);
    // Connect - opens the connection; nothing when open. Throws DatabaseError.
    void Connect();
    // Disconnect - closes every statement and the connection; nothing when closed. Never throws.
    void Disconnect() noexcept;
    bool IsConnected() const { return cn_.IsConnected(); }
    // ConnectionId - the server's id of the session (0 when closed).
    unsigned long ConnectionId() const { return cn_.ConnectionId(); }
    Connection& Cn() { return cn_; }

    // Queries: Configs(prop) → Valor; Alarmes(data, hora, minuto) → the due alarms; GetMail(after) →
    // a page of the spool: at most kMailPageRows rows with an ID above after, in ascending ID; GetNome(uid) → Nome; Ficheiros(uid, id) → package.
    Statement& Configs() { return q_Configs_; }
    Statement& Alarmes() { return q_Alarmes_; }
    // AlarmesBetween(desde_dia, ate_dia, desde, ate) → the alarms to send whose Data and Hora lie
    // from desde (included) to ate (excluded), both "YYYY-MM-DD HH:MM:SS", the days their dates;
    // ordered by Data, Hora, ID.
    Statement& AlarmesBetween() { return q_AlarmesBetween_; }
    Statement& GetMail() { return q_GetMail_; }
    Statement& GetNome() { return q_GetNome_; }
    Statement& Ficheiros() { return q_ficheiros_; }
    // GetMailText(id, from, count) → Texto, Bytes: count characters of a row's Texto from character
    // from (the first is 1; empty past its end), and the length of the whole Texto in bytes, as text.
    Statement& GetMailText() { return q_GetMailText_; }
    // ListMail(after) → ID, Remetente, Destinatario, Assunto, Anexos: a page of the spool as GetMail,
    // without the texts (for the operator's listing).
    Statement& ListMail() { return q_ListMail_; }
    // InsertMailLog(spooler_id, recipient, message_id, outcome, code, enhanced, text) - one row of
    // the optional delivery log (code 0, an empty message_id, enhanced or text: NULL), at the server's
    // time. Prepared at its first use: only when mail_log exists.
    Statement& InsertMailLog() { return q_InsertMailLog_; }
    // DeleteOldMailLog(days) - removes up to kLogCleanupRows of the oldest log rows older than days.
    Statement& DeleteOldMailLog() { return q_DeleteOldMailLog_; }
    // Commands: NewMail(remetente, destinatario, assunto, texto, anexos) queues a spool row;
    // UpdateAlarme(id) clears an alarm's flags; DeleteAlarme(id) and DeleteMail(id) delete one row.
    Statement& NewMail() { return q_NewMail_; }
    Statement& UpdateAlarme() { return q_UpdateAlarme_; }
    Statement& DeleteAlarme() { return q_DeleteAlarme_; }
    Statement& DeleteMail() { return q_DeleteMail_; }
    // UpdateMailRecipients(destinatario, id) - the recipients still to be served by a queued row.
    Statement& UpdateMailRecipients() { return q_UpdateMailRecipients_; }
    // DeleteMailUnderLease(id, holder) and UpdateMailRecipientsUnderLease(destinatario, id, holder) -
    // DeleteMail and UpdateMailRecipients that take effect only while a lease row names holder (a
    // LeaseHolderPrefix): the change and the lease's confirmation in one statement.
    Statement& DeleteMailUnderLease() { return q_DeleteMailUnderLease_; }
    Statement& UpdateMailRecipientsUnderLease() { return q_UpdateMailRecipientsUnderLease_; }

    // Renewal - the lease's renewal on this connection, kept prepared: a fenced write confirms the
    // lease with it inside its transaction.
    LeaseRenewal& Renewal() { return renewal_; }

    // MailSpoolerEngine - the engine of mail_spooler. One the server does not tell (a view, say)
    // counts as transactional. Throws DatabaseError.
    TableEngine MailSpoolerEngine();
    // OnCertifyingCluster - the server is a node of a Galera cluster or of Group Replication, where a
    // read sees another node's commit only once this node has applied it. Throws DatabaseError.
    bool OnCertifyingCluster();

private:
    Connection cn_;
    Statement q_Configs_;
    Statement q_Alarmes_;
    Statement q_NewMail_;
    Statement q_UpdateAlarme_;
    Statement q_DeleteAlarme_;
    Statement q_GetMail_;
    Statement q_DeleteMail_;
    Statement q_GetNome_;
    Statement q_ficheiros_;
    Statement q_AlarmesBetween_;
    Statement q_UpdateMailRecipients_;
    Statement q_DeleteMailUnderLease_;
    Statement q_UpdateMailRecipientsUnderLease_;
    Statement q_GetMailText_;
    Statement q_ListMail_;
    Statement q_InsertMailLog_;
    Statement q_DeleteOldMailLog_;
    LeaseRenewal renewal_;
};

}  // namespace tessel::db
