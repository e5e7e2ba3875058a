#include "cycle/recipient_list.h"

#include "util/explode.h"

namespace tessel::cycle {
namespace {

constexpr const char* kListSeparator = ";";

}  // namespace

std::string JoinRecipients(const std::vector<std::string>& recipients) {
    std::string joined;
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        if (i > 0) joined += kListSeparator;
        joined += recipients[i];
    }
    return joined;
}

FittedLists FitRecipientList(const std::string& list, std::size_t limit) {
    FittedLists fitted;
    if (list.size() <= limit) {
        fitted.Lists.push_back(list);
        return fitted;
    }
    std::string current;
    for (const std::string& address : Explode(kListSeparator, list, 0)) {
        if (address.empty()) continue;
        if (address.size() > limit) {
            fitted.TooLong.push_back(address);
            continue;
        }
        if (!current.empty() && current.size() + 1 + address.size() > limit) {
            fitted.Lists.push_back(std::move(current));
            current.clear();
        }
        current += (current.empty() ? "" : kListSeparator) + address;
    }
    if (!current.empty()) fitted.Lists.push_back(std::move(current));
    return fitted;
}

}  // namespace tessel::cycle
