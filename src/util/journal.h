// The systemd journal as a sink for structured records: one record is a list of FIELD=value items.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tessel {

// JournalFields - the items of one journal entry, each "NAME=value" (the value may hold any byte).
using JournalFields = std::vector<std::string>;

// Journal - where structured records go when the process runs under the journal.
class Journal {
public:
    virtual ~Journal() = default;
    // Send - one entry; false when the journal did not take it. Never throws.
    virtual bool Send(const JournalFields& fields) noexcept = 0;
};

// SystemdJournal - sd_journal_sendv to the local journald.
class SystemdJournal : public Journal {
public:
    bool Send(const JournalFields& fields) noexcept override;
};

// RunsUnderJournal - whether standard error is connected to the journal (JOURNAL_STREAM set).
bool RunsUnderJournal();

}  // namespace tessel
