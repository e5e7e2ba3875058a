// Recipient lists as the queue stores them: addresses separated by ";" in a column of 255 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tessel::cycle {

// kRecipientColumnBytes - the size of mail_spooler.Destinatario.
inline constexpr std::size_t kRecipientColumnBytes = 255;

// JoinRecipients - the addresses separated by ";".
std::string JoinRecipients(const std::vector<std::string>& recipients);

// FittedLists - a recipient list cut into lists that each fit the column.
struct FittedLists {
    std::vector<std::string> Lists;    // in the order of the addresses
    std::vector<std::string> TooLong;  // single addresses longer than the column, left out
};

// FitRecipientList - a list that fits stays as it is (one list, empty entries and all). A longer
// one is cut at ";" into as few consecutive lists as fit within limit bytes each; empty entries are
// left out, and so is an address longer than limit (reported in TooLong). Never throws (but
// std::bad_alloc).
FittedLists FitRecipientList(const std::string& list, std::size_t limit = kRecipientColumnBytes);

}  // namespace tessel::cycle
