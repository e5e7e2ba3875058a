#include "mime/address_parser.h"

#include <algorithm>
#include <string>

namespace tessel::mime {

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The scanning sets. TAB is spelled out because it is part of several of them.
constexpr std::string_view kAddressStart = "(\"< @\t";
constexpr std::string_view kInComment = "()\\";
constexpr std::string_view kInQuote = "\"\\";
constexpr std::string_view kDomainInAngle = ".>(";
constexpr std::string_view kDomainBare = ".( ";
constexpr std::string_view kInAddress = "\"(@>";

constexpr std::string_view kListSeparators = ":;(\", \t";
constexpr std::string_view kListInComment = "(\\)";

// One pass over a single address text; the remaining text shrinks from the front as the
// parts are taken.
class AddressScanner {
public:
    explicit AddressScanner(std::string_view text) : rest_(Trim(text)) {}

    MailAddress Run() {
        if (rest_.empty()) return {};
        std::size_t p = rest_.find_first_of(kAddressStart);
        if (p == std::string_view::npos) {
            result_.Address = std::string(rest_);
            return result_;
        }
        while (p != std::string_view::npos) {
            Act(p);
            p = rest_.find_first_of(NextSet());
        }
        if (inAddress_ && !inAngle_) result_.Address += Trim(rest_);
        return result_;
    }

private:
    std::string_view Head(std::size_t p) const { return rest_.substr(0, p); }
    void CutThrough(std::size_t p) { rest_.remove_prefix(std::min(p + 1, rest_.size())); }

    std::string_view NextSet() const {
        if (depth_ > 0) return kInComment;
        if (inQuote_) return kInQuote;
        if (afterAt_) return inAngle_ ? kDomainInAngle : kDomainBare;
        if (inAddress_) return kInAddress;
        return kAddressStart;
    }

    void Act(std::size_t p) {
        std::string& name = result_.Name;
        std::string& address = result_.Address;
        const char b = rest_[p];
        switch (b) {
        case ' ':
        case '\t':
            if (p > 0) {
                if (afterAt_) {
                    address += Trim(Head(p));
                } else {
                    name += Head(p);
                    name += b;
                }
            }
            CutThrough(p);
            break;
        case '(':
            ++depth_;
            if (p > 0) {
                if (inAddress_) {
                    address += Trim(Head(p));
                } else if (depth_ == 1) {
                    name += Head(p);
                }
            }
            CutThrough(p);
            break;
        case ')':
            --depth_;
            CutThrough(p);
            break;
        case '"':
            if (inQuote_) {
                (inAngle_ ? address : name) += Trim(Head(p));
                CutThrough(p);
                inQuote_ = false;
            } else {
                inQuote_ = true;
                rest_.remove_prefix(1);
            }
            break;
        case '<':
            name += Head(p);
            name = std::string(Trim(name));
            inAngle_ = true;
            inAddress_ = true;
            CutThrough(p);
            break;
        case '>':
            inAddress_ = false;
            afterAt_ = false;
            address += Trim(Head(p));
            CutThrough(p);
            break;
        case '@':
            afterAt_ = true;
            if (!inAddress_) {
                if (inAngle_) throw AddressError();
                inAddress_ = true;
            }
            address += Head(p);
            address += '@';
            CutThrough(p);
            break;
        case '.':
            if (inAngle_) {
                address += Trim(Head(p));
                address += '.';
                CutThrough(p);
                rest_ = TrimLeft(rest_);
            } else {
                address += Head(p);
                address += '.';
                CutThrough(p);
            }
            break;
        case '\\':
            if (inQuote_) {
                std::string& target = inAddress_ ? address : name;
                target += Head(p);
                if (p + 1 < rest_.size()) target += rest_[p + 1];
            }
            CutThrough(p + 1);
            break;
        default:
            CutThrough(p);  // not reachable: every scan set holds only the bytes above
            break;
        }
    }

    std::string_view rest_;
    MailAddress result_;
    int depth_ = 0;
    bool inAddress_ = false;
    bool inAngle_ = false;
    bool inQuote_ = false;
    bool afterAt_ = false;
};

// An entry made of nothing but blanks between two separators is no recipient.
bool IsWorthKeeping(const MailAddress& entry) {
    return !entry.Address.empty() || entry.Name.find_first_not_of(' ') != std::string::npos;
}

}  // namespace

AddressError::AddressError() : Error("@ Outside address") {}

MailAddress ParseMailAddress(std::string_view text) { return AddressScanner(text).Run(); }

std::vector<MailAddress> ParseAddressList(std::string_view text) {
    std::vector<MailAddress> list;
    if (Trim(text).empty()) return list;
    std::string_view rest = text;
    std::size_t p = rest.find_first_of(kListSeparators);
    if (p == std::string_view::npos) {
        list.push_back(ParseMailAddress(TrimLeft(text)));
        return list;
    }

    std::string buffer;
    int depth = 0;
    bool inQuote = false;
    auto cutThrough = [&rest](std::size_t at) { rest.remove_prefix(std::min(at + 1, rest.size())); };
    auto takeEntry = [&list](std::string_view entryText) {
        MailAddress entry = ParseMailAddress(entryText);
        if (IsWorthKeeping(entry)) list.push_back(std::move(entry));
    };

    while (p != std::string_view::npos) {
        switch (rest[p]) {
        case ':':
            buffer.clear();  // a group name is not an address
            cutThrough(p);
            break;
        case ';':
            buffer += rest.substr(0, p);
            if (!Trim(buffer).empty()) {
                list.push_back(ParseMailAddress(buffer));
                buffer.clear();
            }
            cutThrough(p);
            break;
        case '(':
        case ')':
            depth += rest[p] == '(' ? 1 : -1;
            buffer += rest.substr(0, p + 1);
            cutThrough(p);
            break;
        case '"':
            buffer += rest.substr(0, p + 1);
            cutThrough(p);
            inQuote = !inQuote;
            break;
        case ',':
            buffer += rest.substr(0, p);
            takeEntry(buffer);
            buffer.clear();
            cutThrough(p);
            break;
        case '\\':
            buffer += rest.substr(0, p + 2);
            cutThrough(p + 1);
            break;
        default:  // space or TAB
            buffer += rest.substr(0, p + 1);
            cutThrough(p);
            break;
        }
        std::string_view set = depth > 0 ? kListInComment : inQuote ? kInQuote : kListSeparators;
        p = rest.find_first_of(set);
    }
    if (!Trim(buffer).empty() || !Trim(rest).empty()) {
        buffer += rest;
        takeEntry(buffer);
    }
    return list;
}

}  // namespace tessel::mime
