// A Journal that keeps the entries it is sent: journald does not run where the tests run, so the
// tests read the field lists that sd_journal_sendv would have been given.
#pragma once

#include <vector>

#include "util/journal.h"

namespace tessel::test {

class CapturingJournal : public Journal {
public:
    bool Send(const JournalFields& fields) noexcept override {
        Entries.push_back(fields);
        return true;
    }
    std::vector<JournalFields> Entries;
};

}  // namespace tessel::test
