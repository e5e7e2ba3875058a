#include "mime/body_lines.h"

namespace tessel::mime {

namespace {

std::string_view UpToNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

std::size_t LineEnd(std::string_view text, std::size_t at) {
    std::size_t end = text.find_first_of("\r\n", at);
    return end == std::string_view::npos ? text.size() : end;
}

}  // namespace

BodyLineIterator::BodyLineIterator(std::string_view text, std::size_t at)
    : text_(text), at_(at), end_(LineEnd(text, at)) {}

BodyLineIterator& BodyLineIterator::operator++() {
    std::size_t next = end_;
    if (next < text_.size()) {
        next += (text_[next] == '\r' && next + 1 < text_.size() && text_[next + 1] == '\n') ? 2 : 1;
    }
    at_ = next;
    end_ = LineEnd(text_, next);
    return *this;
}

BodyText::BodyText(std::string text)
    : owned_(std::make_shared<const std::string>(std::move(text))), text_(UpToNul(*owned_)) {}

BodyText BodyText::Borrowed(std::string_view text) {
    BodyText body;
    body.text_ = UpToNul(text);
    return body;
}

BodyText BodyText::FromLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text.append(line);
        text.append("\r\n");
    }
    return BodyText(std::move(text));
}

}  // namespace tessel::mime
