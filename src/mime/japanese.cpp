#include "mime/japanese.h"

#include <cstdint>

#include "util/iconv.h"

namespace tessel::mime {

namespace {

// Windows' Japanese code page is CP932 (Shift_JIS with the NEC and IBM additions); its
// EUC-JP-MS counterpart gives the JIS X 0208 code of each character plus 0x8080.
constexpr const char* kSourceCode = "CP932";
constexpr const char* kJisCarrier = "EUC-JP-MS";

constexpr std::string_view kEnterJis = "\x1b$B";
constexpr std::string_view kLeaveJis = "\x1b(B";

constexpr unsigned char kFirstHalfWidth = 0xA1;
constexpr unsigned char kLastHalfWidth = 0xDF;
constexpr unsigned char kVoicedMark = 0xDE;
constexpr unsigned char kSemiVoicedMark = 0xDF;

// JIS X 0208 codes of the full-width forms of the half-width katakana 0xA1..0xDF.
constexpr std::uint16_t kFullWidth[] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523,  // A1..A8
    0x2525, 0x2527, 0x2529, 0x2563, 0x2565, 0x2567, 0x2543, 0x213C,  // A9..B0
    0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B, 0x252D, 0x252F,  // B1..B8
    0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F,  // B9..C0
    0x2541, 0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D,  // C1..C8
    0x254E, 0x254F, 0x2552, 0x2555, 0x2558, 0x255B, 0x255E, 0x255F,  // C9..D0
    0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569, 0x256A,  // D1..D8
    0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C,          // D9..DF
};
static_assert(sizeof(kFullWidth) / sizeof(kFullWidth[0]) == kLastHalfWidth - kFirstHalfWidth + 1);

constexpr std::uint16_t kVu = 0x2574;  // U with the voiced mark

bool TakesVoicedMark(unsigned char kana) {
    return (kana >= 0xB6 && kana <= 0xC4) || (kana >= 0xCA && kana <= 0xCE);  // KA..TO, HA..HO
}
bool TakesSemiVoicedMark(unsigned char kana) { return kana >= 0xCA && kana <= 0xCE; }

bool IsLeadByte(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// JisCarrierOf - the converted bytes of one character, or empty when it has no mapping.
std::string JisCarrierOf(Iconv& iconv, std::string_view character) {
    iconv.Reset();
    IconvStep step = iconv.Step(character);
    return step.Outcome == IconvStep::Result::Done ? std::move(step.Output) : std::string();
}

class JisWriter {
public:
    void Jis(std::uint16_t code) {
        if (!inJis_) out_ += kEnterJis;
        inJis_ = true;
        out_ += static_cast<char>(code >> 8);
        out_ += static_cast<char>(code & 0xFF);
    }
    void Byte(char b) {
        Leave();
        out_ += b;
    }
    std::string Finish() {
        Leave();
        return std::move(out_);
    }

private:
    void Leave() {
        if (inJis_) out_ += kLeaveJis;
        inJis_ = false;
    }
    std::string out_;
    bool inJis_ = false;
};

// JisOfDoubleByte - the JIS X 0208 code of a two-byte character, or 0 when it has none.
std::uint16_t JisOfDoubleByte(Iconv& iconv, std::string_view pair) {
    std::string euc = JisCarrierOf(iconv, pair);
    if (euc.size() != 2) return 0;
    auto hi = static_cast<unsigned char>(euc[0]);
    auto lo = static_cast<unsigned char>(euc[1]);
    if (hi < 0xA1 || hi > 0xFE || lo < 0xA1 || lo > 0xFE) return 0;
    return static_cast<std::uint16_t>(((hi & 0x7F) << 8) | (lo & 0x7F));
}

}  // namespace

std::string ShiftJisToIso2022Jp(std::string_view text) {
    Iconv iconv(kJisCarrier, kSourceCode);
    JisWriter out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (b >= kFirstHalfWidth && b <= kLastHalfWidth) {
            std::uint16_t code = kFullWidth[b - kFirstHalfWidth];
            ++i;
            if (next == kVoicedMark && (TakesVoicedMark(b) || b == 0xB3)) {
                code = b == 0xB3 ? kVu : code + 1;
                ++i;
            } else if (next == kSemiVoicedMark && TakesSemiVoicedMark(b)) {
                code += 2;
                ++i;
            }
            out.Jis(code);
            continue;
        }
        if (IsLeadByte(b) && i + 1 < text.size()) {
            if (std::uint16_t code = JisOfDoubleByte(iconv, text.substr(i, 2))) {
                out.Jis(code);
                i += 2;
                continue;
            }
        }
        out.Byte(text[i]);
        ++i;
    }
    return out.Finish();
}

}  // namespace tessel::mime
