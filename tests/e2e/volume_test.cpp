// A large queue in one cycle: every well-formed recipient gets its message exactly once.
#include <random>

#include "e2e_fixture.h"
#include "support/smtp_sink.h"

namespace tessel::e2e {
namespace {

constexpr int kRows = 5000;
constexpr int kInsertBatch = 500;

TEST_F(EndToEndTest, FiveThousandQueuedRowsWithSomeMalformedAddressesAreEachDeliveredOnce) {
    test::SmtpSink::Options options;
    options.KeepData = false;
    test::SmtpSink sink(options);
    MailServer(sink.Port());
    StoreObject("doc", "doc.txt", {"shared ", "attachment"});

    std::mt19937 random(20260307);
    std::uniform_int_distribution<int> kind(0, 99);
    std::map<std::string, int> expected;
    int malformed = 0;
    std::string values;
    for (int row = 0; row < kRows; ++row) {
        std::string recipients;
        int k = kind(random);
        // Unique, random-looking local parts; the row number keeps them unique.
        std::string local = "u" + std::to_string(random() % 100000) + "-" + std::to_string(row);
        if (k < 3) {
            recipients = "a" + std::to_string(row) + " <b@c> d@e";
            ++malformed;
        } else if (k < 13) {
            recipients = local + "@example.test;" + local + "b@example.test";
            expected[local + "@example.test"] = 1;
            expected[local + "b@example.test"] = 1;
        } else {
            recipients = "Name " + std::to_string(row) + " <" + local + "@example.test>";
            expected[local + "@example.test"] = 1;
        }
        std::string anexos = k % 50 == 7 ? "'doc'" : "NULL";
        values += std::string(values.empty() ? "" : ",") + "('tessel@example.test', " + sql().Quote(recipients) +
                  ", 'Row " + std::to_string(row) + "', 'Body', " + anexos + ")";
        if ((row + 1) % kInsertBatch == 0) {
            sql().Exec("INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto, Anexos) VALUES " + values);
            values.clear();
        }
    }
    ASSERT_EQ(QueuedCount(), kRows);

    mail::SmtpMailSender sender(TestTimeouts());
    EXPECT_EQ(Cycle(sender).RunCycle(), cycle::CycleOutcome::Completed);

    auto delivered = sink.RecipientCounts();
    int wrong = 0;
    for (const auto& [recipient, count] : delivered) {
        if (expected.count(recipient) == 0 || count != 1) {
            if (++wrong <= 5) ADD_FAILURE() << recipient << " arrived " << count << " time(s)";
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(delivered.size(), expected.size()) << "every well-formed recipient got its message";
    EXPECT_EQ(static_cast<int>(Warnings().size()), malformed);
    EXPECT_EQ(QueuedCount(), 0);
    EXPECT_TRUE(FilesUnder(AttachmentRoot()).empty());
    EXPECT_TRUE(Errors().empty());
}

}  // namespace
}  // namespace tessel::e2e
