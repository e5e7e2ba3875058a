// The sink the renderer writes a message through.
#pragma once

#include <string_view>

namespace tessel::mime {

// LineWriter - sends one line followed by CR LF; adds nothing else, no dot-stuffing.
// A failure (a broken connection) is thrown and ends the rendering.
class LineWriter {
public:
    virtual ~LineWriter() = default;
    virtual void WriteLine(std::string_view line) = 0;
};

}  // namespace tessel::mime
