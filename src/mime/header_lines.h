// The header block of a message: folded header lines with a set-or-replace rule.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel::mime {

// Folding width: a header line is cut at the last space, TAB or comma within this many bytes.
inline constexpr std::size_t kFoldWidth = 78;

// FoldHeaderLine - the lines one header line is written as: cut after the last space, TAB or
// comma outside double quotes within the first 78 bytes, the rest continuing on lines that
// begin with a space; existing CR LF space breaks (between encoded-words) become line breaks;
// trailing bytes 0..32 are removed from every line. A line of at most 79 bytes stays whole,
// and a quoted display name is never cut. No line of the result is empty. Never throws.
std::vector<std::string> FoldHeaderLine(std::string_view line);

// HeaderLines - an ordered header block. Names are compared without regard to letter case.
class HeaderLines {
public:
    // Set - with an empty value, removes the header (with its continuation lines) if present;
    // otherwise folds "name: value" and puts it in place of the header's existing lines, or
    // appends it. Never throws beyond allocation.
    void Set(std::string_view name, std::string_view value);

    // Lines - the block, one entry per output line, without line terminators.
    const std::vector<std::string>& Lines() const { return lines_; }

private:
    std::vector<std::string> lines_;
};

}  // namespace tessel::mime
