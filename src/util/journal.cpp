#include "util/journal.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <cstdlib>

namespace tessel {

bool SystemdJournal::Send(const JournalFields& fields) noexcept {
    try {
        std::vector<iovec> items;
        items.reserve(fields.size());
        for (const std::string& field : fields) {
            items.push_back({const_cast<char*>(field.data()), field.size()});
        }
        return ::sd_journal_sendv(items.data(), static_cast<int>(items.size())) >= 0;
    } catch (...) {
        return false;  // out of memory
    }
}

bool RunsUnderJournal() { return std::getenv("JOURNAL_STREAM") != nullptr; }

}  // namespace tessel
