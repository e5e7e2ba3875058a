// A temporary directory removed with everything in it when the test ends.
#pragma once

#include <string>

namespace tessel::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Path - the directory, without a trailing slash.
    const std::string& Path() const { return path_; }
    // File - the path of name inside the directory.
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Write - creates or replaces a file with the given bytes; returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

// ReadFile - the whole contents of a file (empty when it cannot be read).
std::string ReadFile(const std::string& path);

}  // namespace tessel::test
