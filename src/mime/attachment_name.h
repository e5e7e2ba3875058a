// The file name parameters of an attachment part.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mime/header_charset.h"

namespace tessel::mime {

// Indent of the parameter lines of an attachment part.
inline constexpr std::string_view kPartIndent = "        ";

// NameParameterLines - the lines of the Content-Type's name parameter: `name="F"`, or, for a name
// holding a byte above 127, `name="` followed by RFC 2047 encoded-words of the name (one per line)
// and a closing double quote. Throws as EncodeHeaderText.
std::vector<std::string> NameParameterLines(std::string_view name, const HeaderCharset& charset);

// FilenameParameterLines - the lines of the Content-Disposition's file name: `filename="F"`, or, for
// a name holding a byte above 127, RFC 2231 `filename*=charset''%XX...` in the charset the name's
// bytes are in, cut into numbered continuations (filename*0*=...;) when one line would pass 78
// bytes. Never throws.
std::vector<std::string> FilenameParameterLines(std::string_view name, const HeaderCharset& charset);

}  // namespace tessel::mime
