// Splitting of separator-delimited lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

// A growable array of texts, indexed from 0; each element is a text of its own.
using DynStringArray = std::vector<std::string>;

// Explode - splits input on separator. limit 0: no limit; positive: at most limit elements,
// the last holding the rest; negative: empty result. The scan ends at the first NUL byte.
// A separator at the very end gives an empty last element. Never throws.
DynStringArray Explode(std::string_view separator, std::string_view input, std::int32_t limit);

}  // namespace tessel
