#include "db/database.h"

#include <string_view>

#include "util/ascii.h"

namespace tessel::db {

using K = ParameterKind;
using F = FieldKind;

namespace {

std::vector<FieldSpec> AlarmFields() {
    return {{"ID", F::Integer},      {"EmailDest", F::Text}, {"EmailAssunto", F::String},
            {"EmailAnexo", F::String}, {"EmailTexto", F::String}, {"SMSDest", F::Text},
            {"SMSTexto", F::String},   {"Email", F::Integer},   {"SMS", F::Integer},
            {"Alarme", F::Integer}};
}

}  // namespace

Database::Database()
    : q_Configs_(cn_, "q_Configs", StatementKind::Query,
                 {"SELECT Valor FROM configs WHERE Propriedade = :prop"}, {{"prop", K::String}},
                 {{"Valor", F::String}}),
      q_Alarmes_(cn_, "q_Alarmes", StatementKind::Query,
                 {"SELECT ID, Alarme, Email, SMS, EmailDest, EmailAssunto, EmailAnexo, EmailTexto, "
                  "SMSDest, SMSTexto ",
                  "FROM alarmes",
                  "WHERE (Data = :data) AND (HOUR(Hora) = :hora) AND (MINUTE(Hora) = :minuto) AND ",
                  "((Email = 1) OR (SMS = 1))"},
                 {{"data", K::Date}, {"hora", K::Integer}, {"minuto", K::Integer}}, AlarmFields()),
      q_NewMail_(cn_, "q_NewMail", StatementKind::Command,
                 {"INSERT INTO mail_spooler(Remetente, Destinatario, Assunto, Texto, Anexos)",
                  "VALUES(:remetente, :destinatario, :assunto, :texto, :anexos)"},
                 {{"remetente", K::String},
                  {"destinatario", K::String},
                  {"assunto", K::String},
                  {"texto", K::Text},
                  {"anexos", K::Text}}),
      q_UpdateAlarme_(cn_, "q_UpdateAlarme", StatementKind::Command,
                      {"UPDATE alarmes", "SET Email = 0, SMS = 0", "WHERE ID = :id"},
                      {{"id", K::Integer}}),
      q_DeleteAlarme_(cn_, "q_DeleteAlarme", StatementKind::Command,
                      {"DELETE FROM alarmes", "WHERE ID = :id"}, {{"id", K::Integer}}),
      // A page at a time, so that memory does not grow with the queue.
      q_GetMail_(cn_, "q_GetMail", StatementKind::Query,
                 {"SELECT ID, Remetente, Destinatario, Assunto, Anexos,",
                  "IF(LENGTH(Texto) > " + std::to_string(kMailPageTextBytes) +
                      ", NULL, COALESCE(Texto, '')) AS Texto",
                  "FROM mail_spooler", "WHERE ID > :after", "ORDER BY ID",
                  "LIMIT " + std::to_string(kMailPageRows)},
                 {{"after", K::Integer}},
                 {{"ID", F::Integer},
                  {"Remetente", F::String},
                  {"Destinatario", F::String},
                  {"Assunto", F::String},
                  {"Texto", F::Text},
                  {"Anexos", F::Text}}),
      // One row at a time: a row is deleted as soon as it has been processed.
      q_DeleteMail_(cn_, "q_DeleteMail", StatementKind::Command,
                    {"DELETE FROM mail_spooler", "WHERE ID = :id"}, {{"id", K::Integer}}),
      q_GetNome_(cn_, "q_GetNome", StatementKind::Query,
                 {"SELECT Nome FROM objectos_id WHERE UID = :uid"}, {{"uid", K::String}},
                 {{"Nome", F::String}}),
      q_ficheiros_(cn_, "q_ficheiros", StatementKind::Query,
                   {"SELECT package FROM ficheiros ", "WHERE (UID = :uid) AND (ID = :id)"},
                   {{"uid", K::String}, {"id", K::Integer}}, {{"package", F::Blob}}),
      // The date bounds let an index on Data narrow the search.
      q_AlarmesBetween_(cn_, "q_AlarmesBetween", StatementKind::Query,
                        {"SELECT ID, Alarme, Email, SMS, EmailDest, EmailAssunto, EmailAnexo, EmailTexto, "
                         "SMSDest, SMSTexto ",
                         "FROM alarmes",
                         "WHERE (Data >= :desde_dia) AND (Data <= :ate_dia) AND ",
                         "(TIMESTAMP(Data, Hora) >= :desde) AND (TIMESTAMP(Data, Hora) < :ate) AND ",
                         "((Email = 1) OR (SMS = 1))",
                         "ORDER BY Data, Hora, ID"},
                        {{"desde_dia", K::Date}, {"ate_dia", K::Date}, {"desde", K::String}, {"ate", K::String}},
                        AlarmFields()),
      q_UpdateMailRecipients_(cn_, "q_UpdateMailRecipients", StatementKind::Command,
                              {"UPDATE mail_spooler SET Destinatario = :destinatario WHERE ID = :id"},
                              {{"destinatario", K::String}, {"id", K::Integer}}),
      q_DeleteMailUnderLease_(cn_, "q_DeleteMailUnderLease", StatementKind::Command,
                              {"DELETE FROM mail_spooler", "WHERE ID = :id AND " + LeaseNamesHolder()},
                              {{"id", K::Integer}, {"holder", K::String}}),
      q_UpdateMailRecipientsUnderLease_(
          cn_, "q_UpdateMailRecipientsUnderLease", StatementKind::Command,
          {"UPDATE mail_spooler SET Destinatario = :destinatario", "WHERE ID = :id AND " + LeaseNamesHolder()},
          {{"destinatario", K::String}, {"id", K::Integer}, {"holder", K::String}}),
      // A long text in pieces: the client library holds a fetched value twice (its packet and its
      // result), so a whole 50 MiB text would cost 100 MiB before the first byte is sent.
      q_GetMailText_(cn_, "q_GetMailText", StatementKind::Query,
                     // Bytes as text: LENGTH gives a 64-bit integer, which no declared field takes.
                     {"SELECT SUBSTRING(Texto, :from, :count) AS Texto, CAST(LENGTH(Texto) AS CHAR) AS Bytes",
                      "FROM mail_spooler WHERE ID = :id"},
                     {{"id", K::Integer}, {"from", K::Integer}, {"count", K::Integer}},
                     {{"Texto", F::Text}, {"Bytes", F::String}}),
      q_ListMail_(cn_, "q_ListMail", StatementKind::Query,
                  {"SELECT ID, Remetente, Destinatario, Assunto, Anexos", "FROM mail_spooler", "WHERE ID > :after",
                   "ORDER BY ID", "LIMIT " + std::to_string(kMailPageRows)},
                  {{"after", K::Integer}},
                  {{"ID", F::Integer},
                   {"Remetente", F::String},
                   {"Destinatario", F::String},
                   {"Assunto", F::String},
                   {"Anexos", F::Text}}),
      q_InsertMailLog_(cn_, "q_InsertMailLog", StatementKind::Command,
                       {"INSERT INTO mail_log (SpoolerID, Recipient, MessageID, Outcome, ReplyCode, EnhancedStatus, "
                        "ReplyText, LoggedAt)",
                        "VALUES (:spooler_id, :recipient, :message_id, :outcome, NULLIF(:code, 0), :enhanced, :text, "
                        "NOW())"},
                       {{"spooler_id", K::Integer},
                        {"recipient", K::String},
                        {"message_id", K::Text},
                        {"outcome", K::String},
                        {"code", K::Integer},
                        {"enhanced", K::Text},
                        {"text", K::Text}}),
      // The oldest first, a batch at a time: no statement holds the table for long.
      q_DeleteOldMailLog_(cn_, "q_DeleteOldMailLog", StatementKind::Command,
                          {"DELETE FROM mail_log WHERE LoggedAt < NOW() - INTERVAL :days DAY ORDER BY ID",
                           "LIMIT " + std::to_string(kLogCleanupRows)},
                          {{"days", K::Integer}}),
      renewal_(cn_) {}

void Database::SetParameters(const config::ConnectionParameters& parameters) {
    cn_.SetParameters(parameters);
}

void Database::Connect() { cn_.Connect(); }

TableEngine Database::MailSpoolerEngine() {
    ResultHandle result = cn_.Query(
        "SELECT t.ENGINE, e.TRANSACTIONS FROM information_schema.TABLES t "
        "LEFT JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE "
        "WHERE t.TABLE_SCHEMA = DATABASE() AND t.TABLE_NAME = 'mail_spooler'");
    TableEngine engine;
    MYSQL_ROW row = ::mysql_fetch_row(result.get());
    if (row == nullptr || row[0] == nullptr) return engine;
    engine.Name = row[0];
    engine.Transactional = row[1] == nullptr || std::string_view(row[1]) != "NO";
    return engine;
}

bool Database::OnCertifyingCluster() {
    // SHOW, not SELECT @@...: a server without these settings lists nothing instead of failing.
    ResultHandle result =
        cn_.Query("SHOW GLOBAL VARIABLES WHERE Variable_name IN ('wsrep_on', 'group_replication_group_name')");
    for (MYSQL_ROW row = ::mysql_fetch_row(result.get()); row != nullptr; row = ::mysql_fetch_row(result.get())) {
        if (row[0] == nullptr || row[1] == nullptr) continue;
        const std::string_view name(row[0]), value(row[1]);
        if (EqualsNoCase(name, "wsrep_on") ? EqualsNoCase(value, "ON") : !value.empty()) return true;
    }
    return false;
}

void Database::Disconnect() noexcept {
    for (Statement* q : {&q_Configs_, &q_Alarmes_, &q_GetMail_, &q_GetNome_, &q_ficheiros_, &q_AlarmesBetween_,
                         &q_GetMailText_, &q_ListMail_}) {
        q->Close();
    }
    cn_.Disconnect();
}

}  // namespace tessel::db
