#include "mime/header_encoding.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "mime/japanese.h"
#include "util/base64.h"

namespace tessel::mime {

namespace {

using ByteSet = std::array<bool, 256>;

bool Has(const ByteSet& set, char c) { return set[static_cast<unsigned char>(c)]; }

bool IsWordSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr std::string_view kQuotedExtras = "?=_";
constexpr std::string_view kEncodedWordBreak = "?=\r\n ";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

// IsEncodedWordAt - whether "=?charset?X?text?=" starts at the front of a run without blanks,
// for a charset beginning with ISO, WINDOWS or KOI8.
bool IsEncodedWordAt(std::string_view run) {
    if (run.substr(0, 2) != "=?") return false;
    std::string_view rest = run.substr(2);
    if (!StartsWithNoCase(rest, "ISO") && !StartsWithNoCase(rest, "WINDOWS") &&
        !StartsWithNoCase(rest, "KOI8"))
        return false;
    std::size_t q = rest.find('?');
    if (q == std::string_view::npos || q + 3 > rest.size()) return false;
    const char letter = rest[q + 1];
    if (!((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z')) || rest[q + 2] != '?')
        return false;
    return rest.find("?=", q + 3) != std::string_view::npos;
}

bool HoldsEncodedWord(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = i;
        while (end < text.size() && !IsWordSpace(text[end])) ++end;
        std::string_view run = text.substr(i, end - i);
        for (std::size_t at = run.find("=?"); at != std::string_view::npos; at = run.find("=?", at + 1)) {
            if (IsEncodedWordAt(run.substr(at))) return true;
        }
        i = end + 1;
    }
    return false;
}

char HexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0xF]; }

// Writes one stretch as encoded-words no longer than kMaxEncodedWord.
class EncodedWordWriter {
public:
    EncodedWordWriter(std::string& out, const HeaderCharset& charset)
        : out_(out), opening_("=?" + charset.Name + "?" + charset.Letter + "?") {
        Open();
    }
    void Piece(std::string_view piece) {
        if (count_ + piece.size() > kMaxEncodedWord) {
            out_ += kEncodedWordBreak;
            Open();
        }
        out_ += piece;
        count_ += piece.size();
    }
    void Close() { out_ += "?="; }

private:
    void Open() {
        out_ += opening_;
        count_ = opening_.size() + 2;
    }
    std::string& out_;
    std::string opening_;
    std::size_t count_ = 0;
};

void EncodeStretch(std::string& out, std::string_view stretch, const ByteSet& quote,
                   const HeaderCharset& charset) {
    EncodedWordWriter writer(out, charset);
    if (charset.Letter == 'B') {
        for (std::size_t i = 0; i < stretch.size(); i += 3) writer.Piece(Base64Encode(stretch.substr(i, 3)));
    } else {
        for (char c : stretch) {
            // The comma is escaped too: folding breaks at commas and must never split a word.
            if (c == ' ') {
                writer.Piece("_");
            } else if (Has(quote, c) || c == ',') {
                const auto v = static_cast<unsigned char>(c);
                const char piece[] = {'=', HexDigit(v >> 4), HexDigit(v)};
                writer.Piece(std::string_view(piece, sizeof piece));
            } else {
                writer.Piece(std::string_view(&c, 1));
            }
        }
    }
    writer.Close();
}

constexpr std::string_view kAtomExtras = "!#$%&'*+-/=?_`{}|~";

bool IsAtomByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kAtomExtras.find(c) != std::string_view::npos;
}

std::string Escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string Quoted(std::string_view text) { return "\"" + Escaped(text) + "\""; }

}  // namespace

std::string HeaderSafeText(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return out;
}

std::string EncodeHeaderText(std::string_view original, std::string_view specials,
                             const HeaderCharset& charset) {
    std::string converted;
    std::string_view text = original;
    if (charset.JapaneseConversion) {
        converted = ShiftJisToIso2022Jp(original);
        text = converted;
    }

    ByteSet need{};
    for (int b = 0; b < 256; ++b) need[b] = b < 32 || b >= 127;
    for (char c : specials) need[static_cast<unsigned char>(c)] = true;
    if (original.find('\0') != std::string_view::npos || HoldsEncodedWord(original)) need['='] = true;
    ByteSet quote = need;
    for (char c : kQuotedExtras) quote[static_cast<unsigned char>(c)] = true;

    std::string out;
    std::size_t stretchStart = std::string_view::npos;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t spaceStart = i;
        while (i < text.size() && IsWordSpace(text[i])) ++i;
        const std::size_t wordStart = i;
        bool needsEncoding = false;
        while (i < text.size() && !IsWordSpace(text[i])) needsEncoding |= Has(need, text[i++]);

        if (needsEncoding) {
            if (stretchStart == std::string_view::npos) {
                out += text.substr(spaceStart, wordStart - spaceStart);
                stretchStart = wordStart;
            }
            continue;
        }
        // White space after the last word is no word: an open stretch takes it in.
        if (wordStart == text.size() && stretchStart != std::string_view::npos) break;
        if (stretchStart != std::string_view::npos) {
            EncodeStretch(out, text.substr(stretchStart, spaceStart - stretchStart), quote, charset);
            stretchStart = std::string_view::npos;
        }
        out += text.substr(spaceStart, i - spaceStart);
    }
    if (stretchStart != std::string_view::npos)
        EncodeStretch(out, text.substr(stretchStart), quote, charset);
    return out;
}

std::string EncodeAsEncodedWords(std::string_view original, std::string_view specials,
                                 const HeaderCharset& charset) {
    if (original.empty()) return "";
    const std::string converted = charset.JapaneseConversion ? ShiftJisToIso2022Jp(original) : std::string(original);
    ByteSet quote{};
    for (int b = 0; b < 256; ++b) quote[b] = b < 32 || b >= 127;
    for (char c : specials) quote[static_cast<unsigned char>(c)] = true;
    for (char c : kQuotedExtras) quote[static_cast<unsigned char>(c)] = true;
    std::string out;
    EncodeStretch(out, converted, quote, charset);
    return out;
}

std::string FormatHeaderAddress(const MailAddress& address, bool nameFromAddress,
                                const HeaderCharset& charset) {
    const std::string mailbox = HeaderSafeText(address.Address);
    std::string name = HeaderSafeText(address.Name);
    if (nameFromAddress && name.empty()) name = mailbox;
    if (name.empty()) return mailbox;

    bool raw = false;
    for (char c : name) raw |= static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) >= 127;
    const std::string display = raw ? EncodeHeaderText(name, kNameSpecials, charset) : Quoted(name);
    return display + " <" + mailbox + ">";
}

std::string FormatAddressSpec(const MailAddress& address) {
    const std::string mailbox = HeaderSafeText(address.Address);
    if (mailbox.empty()) return address.Name.empty() ? "" : "<>";

    const std::size_t at = mailbox.rfind('@');
    const std::string_view all = mailbox;
    const std::string_view local = all.substr(0, at);
    const std::string_view domain = at == std::string::npos ? std::string_view{} : all.substr(at);

    std::size_t firstOther = 0;
    while (firstOther < local.size() && IsAtomByte(local[firstOther])) ++firstOther;
    if (firstOther < local.size() && local[firstOther] != '.')
        return "<" + Quoted(local) + std::string(domain) + ">";
    return address.Name.empty() ? mailbox : "<" + mailbox + ">";
}

std::string FormatPlainAddress(const MailAddress& address) {
    const std::string name = HeaderSafeText(address.Name);
    std::string upperAddress = HeaderSafeText(address.Address);
    for (char& c : upperAddress) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    const std::string addressSpec = FormatAddressSpec(address);
    if (name.empty() || name == upperAddress) return addressSpec;

    bool plain = true;
    for (char c : name) plain &= c == ' ' || IsAtomByte(c);
    return (plain ? name : Quoted(name)) + " " + addressSpec;
}

std::string FormatSenderAddress(const MailAddress& address, const HeaderCharset& charset) {
    const std::string name = HeaderSafeText(address.Name);
    const bool eightBit =
        std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) > 127; });
    if (!eightBit) return FormatPlainAddress(address);
    return EncodeHeaderText(name, kNameSpecials, charset) + " " + FormatAddressSpec(address);
}

}  // namespace tessel::mime
