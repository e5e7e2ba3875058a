// Standard base64 (RFC 2045/4648 alphabet, "=" padding), without line breaks.
#pragma once

#include <string>
#include <string_view>

namespace tessel {

// Base64Encode - the whole input as one run of base64 characters.
std::string Base64Encode(std::string_view bytes);

}  // namespace tessel
