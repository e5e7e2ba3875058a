#include "util/base64.h"

namespace tessel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::size_t Base64EncodeTo(std::string_view bytes, char* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    char* at = out;
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        at[0] = kAlphabet[v >> 18];
        at[1] = kAlphabet[(v >> 12) & 63];
        at[2] = kAlphabet[(v >> 6) & 63];
        at[3] = kAlphabet[v & 63];
        at += 4;
    }
    std::size_t rest = size - i;
    if (rest > 0) {
        unsigned v = in[i] << 16;
        if (rest == 2) v |= in[i + 1] << 8;
        at[0] = kAlphabet[v >> 18];
        at[1] = kAlphabet[(v >> 12) & 63];
        at[2] = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        at[3] = '=';
        at += 4;
    }
    return static_cast<std::size_t>(at - out);
}

std::string Base64Encode(std::string_view bytes) {
    std::string out(Base64Size(bytes.size()), '\0');
    Base64EncodeTo(bytes, out.data());
    return out;
}

}  // namespace tessel
