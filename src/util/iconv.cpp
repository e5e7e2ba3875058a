#include "util/iconv.h"

#include <cerrno>
#include <vector>

#include "util/error.h"

namespace tessel {

namespace {
const iconv_t kInvalidHandle = reinterpret_cast<iconv_t>(-1);
constexpr std::size_t kOutputPerInputByte = 64;
}  // namespace

Iconv::Iconv(const char* to, const char* from) : handle_(::iconv_open(to, from)) {
    if (handle_ == kInvalidHandle) throw PlatformError(errno);
}

Iconv::~Iconv() { ::iconv_close(handle_); }

void Iconv::Reset() noexcept { ::iconv(handle_, nullptr, nullptr, nullptr, nullptr); }

IconvStep Iconv::Step(std::string_view input) {
    std::vector<char> in(input.begin(), input.end());
    std::vector<char> out(input.size() * kOutputPerInputByte + kOutputPerInputByte);
    char* inPtr = in.data();
    char* outPtr = out.data();
    std::size_t inLeft = in.size();
    std::size_t outLeft = out.size();
    const std::size_t converted = ::iconv(handle_, &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    IconvStep step{IconvStep::Result::Done, input.size() - inLeft, std::string(out.data(), outPtr)};
    if (converted == static_cast<std::size_t>(-1)) {
        step.Outcome = error == EINVAL ? IconvStep::Result::Incomplete : IconvStep::Result::Invalid;
    }
    return step;
}

}  // namespace tessel
