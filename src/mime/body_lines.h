// A message body kept as one text, its lines handed out as views: never copied line by line.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::mime {

// BodyLineIterator - the lines of a text, each a view without its break. A line ends at CR LF, a
// lone LF or a lone CR (LF CR is two breaks); a break at the very end starts no further line.
class BodyLineIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    BodyLineIterator() = default;
    BodyLineIterator(std::string_view text, std::size_t at);

    std::string_view operator*() const { return text_.substr(at_, end_ - at_); }
    BodyLineIterator& operator++();
    BodyLineIterator operator++(int) {
        BodyLineIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const BodyLineIterator& other) const { return at_ == other.at_; }

private:
    std::string_view text_;
    std::size_t at_ = 0;   // where the current line starts (the text's size at the end)
    std::size_t end_ = 0;  // where it ends (its break, or the text's end)
};

// BodyText - the body of a message: the text up to its first NUL, owned (moved in) or borrowed
// from the caller; copies share the owned text.
class BodyText {
public:
    BodyText() = default;
    // Owned: the text is moved in.
    explicit BodyText(std::string text);
    // Borrowed - the text is not copied and must outlive every use of the body.
    static BodyText Borrowed(std::string_view text);
    // FromLines - lines joined, each followed by CR LF (owned).
    static BodyText FromLines(const std::vector<std::string>& lines);

    std::string_view Text() const { return text_; }
    BodyLineIterator begin() const { return BodyLineIterator(text_, 0); }
    BodyLineIterator end() const { return BodyLineIterator(text_, text_.size()); }
    // Empty - the body has no lines.
    bool Empty() const { return text_.empty(); }

private:
    std::shared_ptr<const std::string> owned_;
    std::string_view text_;
};

}  // namespace tessel::mime
