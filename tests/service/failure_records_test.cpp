// The failure records of the service under the journal carry the MESSAGE_ID of their kind. journald
// does not run where the tests run: a capturing Journal stands in for it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "cycle/record_kinds.h"
#include "service/tessel_com_service.h"
#include "support/capturing_journal.h"
#include "util/event_log.h"

namespace tessel::service {
namespace {

class NoChannel : public StatusChannel {
public:
    void Send(const StatusReport&) override {}
};

using test::CapturingJournal;

TEST(FailureRecords, StartAndExecuteFailuresHaveTheirOwnMessageIdsAndOthersNone) {
    ::setenv("JOURNAL_STREAM", "8:1", 1);
    CapturingJournal journal;
    {
        ScopedJournal scoped(journal);
        NoChannel channel;
        TesselComService service(ServiceHandlers{}, channel);
        service.RecordFailure("start", "'$G1' is not a valid integer value");
        service.RecordFailure("execute", "Lost connection");
        service.RecordFailure("pause", "Whatever");
    }
    ::unsetenv("JOURNAL_STREAM");
    ASSERT_EQ(journal.Entries.size(), 3u);
    auto id = [](RecordKind kind) { return "MESSAGE_ID=" + std::string(MessageIdOf(kind)); };
    EXPECT_EQ(journal.Entries[0],
              (JournalFields{"MESSAGE=Service failed on start: '$G1' is not a valid integer value",
                             "PRIORITY=3", "SYSLOG_FACILITY=3", "SYSLOG_IDENTIFIER=TesselComService",
                             id(RecordKind::FailedOnStart)}));
    EXPECT_EQ(journal.Entries[1].back(), id(RecordKind::FailedOnExecute));
    EXPECT_EQ(journal.Entries[2].back(), "SYSLOG_IDENTIFIER=TesselComService") << "no MESSAGE_ID";
}

}  // namespace
}  // namespace tessel::service
