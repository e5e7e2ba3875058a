// Reading of sections-and-keys files (configs.ini).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessel::config {

// Longest value kept; a longer one is cut after this many characters.
inline constexpr std::size_t kMaxIniValue = 2047;

// ReadIniValue - the value of key in section of the file at path. Section and key match without
// regard to case; blanks around key and value are ignored; one pair of matching double or single
// quotes is removed. A missing or unreadable file, section or key gives the empty text.
std::string ReadIniValue(const std::string& path, std::string_view section, std::string_view key);

// ReadIniValueFromText - the same rules over the file's contents.
std::string ReadIniValueFromText(std::string_view contents, std::string_view section,
                                 std::string_view key);

}  // namespace tessel::config
