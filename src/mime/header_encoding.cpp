#include "mime/header_encoding.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "mime/charset_characters.h"
#include "mime/japanese.h"
#include "util/base64.h"
#include "util/ascii.h"

namespace tessel::mime {

namespace {

using ByteSet = std::array<bool, 256>;

bool Has(const ByteSet& set, char c) { return set[static_cast<unsigned char>(c)]; }

bool IsWordSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr std::string_view kQuotedExtras = "?=_";
constexpr std::string_view kEncodedWordBreak = "\r\n ";


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

char HexDigit(unsigned value) { return kUpperHexDigits[value & 0xF]; }

// The ISO 2022 designation of ASCII: the initial state every encoded-word starts and ends in.
constexpr std::string_view kInitialShift = "\x1b(B";

// Writes one stretch as encoded-words no longer than kMaxEncodedWord. A word holds whole characters
// of the charset only, and in a stateful code starts and ends in the initial state, so that each
// word decodes alone (RFC 2047, 5; RFC 1468).
class EncodedWordWriter {
public:
    EncodedWordWriter(std::string& out, const HeaderCharset& charset, const ByteSet& quote)
        : out_(out), quote_(quote), letter_(charset.Letter),
          opening_("=?" + charset.Name + "?" + charset.Letter + "?") {}

    // Character - adds one character, in force under shift (empty: the initial state); a new word
    // begins first when it would not fit into this one.
    void Character(std::string_view bytes, std::string_view shift) {
        if (!word_.empty() && !Fits(Extended(bytes, shift), shift)) {
            Write();
            out_ += kEncodedWordBreak;
            word_.clear();
            state_.clear();
        }
        word_ = Extended(bytes, shift);
        state_ = shift;
    }
    void Close() { Write(); }

private:
    std::string Extended(std::string_view bytes, std::string_view shift) const {
        std::string word = word_;
        if (shift != state_) word += shift.empty() ? kInitialShift : shift;
        word += bytes;
        return word;
    }
    std::string Closed(std::string word) const { return state_.empty() ? word : word + std::string(kInitialShift); }
    // Fits - whether the word, closed back to the initial state from shift, stays within the limit.
    bool Fits(const std::string& word, std::string_view shift) const {
        const std::size_t size = EncodedSize(shift.empty() ? word : word + std::string(kInitialShift));
        return opening_.size() + 2 + size <= kMaxEncodedWord;
    }
    bool NeedsQuote(char c) const { return Has(quote_, c) || c == ','; }
    std::size_t EncodedSize(std::string_view bytes) const {
        if (letter_ == 'B') return (bytes.size() + 2) / 3 * 4;
        std::size_t size = 0;
        for (char c : bytes) size += c != ' ' && NeedsQuote(c) ? 3 : 1;
        return size;
    }
    void Write() {
        const std::string bytes = Closed(word_);
        out_ += opening_;
        if (letter_ == 'B') {
            out_ += Base64Encode(bytes);
        } else {
            for (char c : bytes) {
                // The comma is escaped too: folding breaks at commas and must never split a word.
                if (c == ' ') {
                    out_ += '_';
                } else if (NeedsQuote(c)) {
                    const auto v = static_cast<unsigned char>(c);
                    out_ += '=';
                    out_ += HexDigit(v >> 4);
                    out_ += HexDigit(v);
                } else {
                    out_ += c;
                }
            }
        }
        out_ += "?=";
    }

    std::string& out_;
    const ByteSet& quote_;
    char letter_;
    std::string opening_;
    std::string word_;   // the bytes of the word being built
    std::string state_;  // the shift in force at its end; empty: the initial state
};

void EncodeStretch(std::string& out, std::string_view stretch, const ByteSet& quote,
                   const HeaderCharset& charset) {
    EncodedWordWriter writer(out, charset, quote);
    std::string_view shift;
    for (const CharacterPiece& piece : SplitCharacters(stretch, charset.Name)) {
        if (piece.Shift) {
            shift = piece.Bytes == kInitialShift ? std::string_view{} : piece.Bytes;
        } else {
            writer.Character(piece.Bytes, shift);
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
