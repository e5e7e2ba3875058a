#include "mime/header_lines.h"

#include <algorithm>

#include "util/ascii.h"

namespace tessel::mime {

namespace {

constexpr std::string_view kBreakString = "\r\n ";

bool IsBreakByte(char c) { return c == ' ' || c == '\t' || c == ','; }
bool IsSkippedAtBreak(char c) { return IsBreakByte(c) || c == '\r' || c == '\n'; }
bool IsContinuation(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

bool SameName(std::string_view line, std::string_view name) {
    std::string_view lineName = line.substr(0, line.find(':'));
    return EqualsNoCase(lineName, name);
}

// Wrap - inserts CR LF space at the fold points; positions are 1-based as in the folding rule.
// (No byte is a lead byte of a double-byte character on this platform.)
std::string Wrap(std::string_view line) {
    const std::size_t n = line.size();
    auto at = [&line](std::size_t pos) { return line[pos - 1]; };
    auto range = [&line](std::size_t from, std::size_t through) {
        return through < from ? std::string_view{} : line.substr(from - 1, through - from + 1);
    };

    std::string out;
    std::size_t col = 1;
    std::size_t pos = 1;
    std::size_t start = 1;
    std::size_t brk = 0;
    bool quoted = false;
    bool existing = false;
    while (pos <= n) {
        const char b = at(pos);
        if (b == '\r') {
            if (!quoted) {
                existing = pos + 2 <= n && at(pos + 1) == '\n' && at(pos + 2) == ' ';
                if (existing) {
                    pos += 2;
                    brk = pos;
                }
            }
        } else if (IsBreakByte(b)) {
            if (!quoted) brk = pos;
        } else if (b == '"') {
            quoted = !quoted;
        }
        ++pos;
        ++col;
        if (!quoted && (existing || (col > kFoldWidth && brk > start))) {
            col = pos - brk;
            out += range(start, brk);
            if (b != '"') {
                while (pos <= n && IsSkippedAtBreak(at(pos))) ++pos;
                if (!existing && pos < n) out += kBreakString;
            }
            ++brk;
            start = brk;
            existing = false;
        }
    }
    out += range(start, n);
    return out;
}

}  // namespace

std::vector<std::string> FoldHeaderLine(std::string_view line) {
    const std::string wrapped = Wrap(line);
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from <= wrapped.size()) {
        std::size_t to = wrapped.find("\r\n", from);
        if (to == std::string::npos) to = wrapped.size();
        std::string_view piece = std::string_view(wrapped).substr(from, to - from);
        while (!piece.empty() && static_cast<unsigned char>(piece.back()) <= 32) piece.remove_suffix(1);
        // An empty line would end the header block early; a blank continuation carries nothing.
        if (!piece.empty()) lines.emplace_back(piece);
        from = to + 2;
    }
    return lines;
}

void HeaderLines::Set(std::string_view name, std::string_view value) {
    auto first = std::find_if(lines_.begin(), lines_.end(), [name](const std::string& line) {
        return !IsContinuation(line) && SameName(line, name);
    });
    auto last = first;
    if (first != lines_.end()) {
        last = std::find_if(first + 1, lines_.end(), [](const std::string& l) { return !IsContinuation(l); });
    }
    const auto position = lines_.erase(first, last);
    if (value.empty()) return;

    std::string line(name);
    line += ": ";
    line += value;
    std::vector<std::string> folded = FoldHeaderLine(line);
    lines_.insert(position, std::make_move_iterator(folded.begin()), std::make_move_iterator(folded.end()));
}

}  // namespace tessel::mime
