#include "util/journal.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <cstdlib>

namespace tessel {

void SystemdJournal::Send(const JournalFields& fields) noexcept {
    try {
        std::vector<iovec> items;
        items.reserve(fields.size());
        for (const std::string& field : fields) {
            items.push_back({const_cast<char*>(field.data()), field.size()});
        }
        ::sd_journal_sendv(items.data(), static_cast<int>(items.size()));
    } catch (...) {
        // Out of memory: the record is lost, the service goes on.
    }
}

bool RunsUnderJournal() { return std::getenv("JOURNAL_STREAM") != nullptr; }

}  // namespace tessel
