// The mail server's side of the scripted dialogues.
#pragma once

#include <initializer_list>
#include <string>

namespace tessel::smtp::test {

// Crlf - lines, each ended by CR LF, as a server sends them.
inline std::string Crlf(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

}  // namespace tessel::smtp::test
