#include "cycle/record_kinds.h"

#include <vector>

namespace tessel {
namespace {

std::vector<RecordField> RowFields(std::optional<std::int64_t> rowId, std::optional<std::string> recipient) {
    std::vector<RecordField> fields;
    if (rowId) fields.push_back({std::string(kRowIdField), std::to_string(*rowId)});
    if (recipient) fields.push_back({std::string(kRecipientField), std::move(*recipient)});
    return fields;
}

}  // namespace

std::string_view MessageIdOf(RecordKind kind) {
    // Fixed for ever: operators' queries and alerts name them.
    switch (kind) {
        case RecordKind::General: return "";
        case RecordKind::Refused: return "d6a3686c2c7542c7a64d919bc0f89c61";
        case RecordKind::Pending: return "a8ac2bcd44e64c64be0fc499f10685d2";
        case RecordKind::Deferred: return "39ee5c3a33024de999eecd33c24140f6";
        case RecordKind::GivenUp: return "1bcc291b302b412db07f69f3ef6bedbe";
        case RecordKind::Unconfirmed: return "a782029258d84f26856565459bf2a4df";
        case RecordKind::AttachmentSkipped: return "b2adce6f1be14239ad52cbd3482d596c";
        case RecordKind::FailedOnStart: return "516ee760165e4bc4af467bb31b0514c6";
        case RecordKind::FailedOnExecute: return "3f1103ab53554f60855e2a4a1e91d287";
        case RecordKind::BecameActive: return "bc5f7d5f41dc4ddba23e7a684588dfc4";
        case RecordKind::BecameStandby: return "08af7ef718684c0c9564b23d4b5bea4d";
        case RecordKind::CycleSummary: return "3a3f3563b36c46bea962a40821374b0d";
    }
    return "";
}

ScopedRowContext::ScopedRowContext(std::optional<std::int64_t> rowId, std::optional<std::string> recipient)
    : fields_(RowFields(rowId, std::move(recipient))) {}

}  // namespace tessel
