// Standard base64 (RFC 2045/4648 alphabet, "=" padding), without line breaks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessel {

// Base64Size - the number of base64 characters for count bytes.
constexpr std::size_t Base64Size(std::size_t count) { return (count + 2) / 3 * 4; }

// Base64EncodeTo - the whole input as one run of base64 characters, written to out, which must
// hold Base64Size(bytes.size()) characters; returns how many were written. Never throws.
std::size_t Base64EncodeTo(std::string_view bytes, char* out);

// Base64Encode - the whole input as one run of base64 characters.
std::string Base64Encode(std::string_view bytes);

}  // namespace tessel
