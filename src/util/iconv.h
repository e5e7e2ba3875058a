// A thin layer over iconv(3): one conversion descriptor, closed with the object.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace tessel {

// IconvStep - what one call to iconv did with a piece of input.
struct IconvStep {
    enum class Result { Done, Incomplete, Invalid };
    Result Outcome;
    std::size_t Consumed;  // input bytes taken
    std::string Output;
};

class Iconv {
public:
    // Opens a conversion from the code `from` to the code `to`. Throws PlatformError when the
    // system has no such conversion.
    Iconv(const char* to, const char* from);
    ~Iconv();
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Reset - back to the initial shift state.
    void Reset() noexcept;
    // Step - converts input, keeping the shift state between calls: Done when all of it was taken,
    // Incomplete when it ends inside a character, Invalid when it holds a byte sequence the code
    // does not have (Consumed says how far it got). Output is bounded by 64 bytes per input byte,
    // which no code reaches. Never throws but std::bad_alloc.
    IconvStep Step(std::string_view input);

private:
    iconv_t handle_;
};

}  // namespace tessel
