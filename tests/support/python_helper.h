// A Python test peer of ours (tests/support/*.py), started as a child that reports its port.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace tessel::test {

// PythonHelper - runs /usr/bin/python3 script args... and waits until the script writes its port
// to dir/port. The script ends when its standard input closes (this object or this process gone).
class PythonHelper {
public:
    // Throws std::runtime_error when the script does not start or report its port.
    PythonHelper(const std::string& script, const std::vector<std::string>& args, const std::string& dir);
    ~PythonHelper();
    PythonHelper(const PythonHelper&) = delete;
    PythonHelper& operator=(const PythonHelper&) = delete;

    int Port() const { return port_; }

private:
    void Stop() noexcept;

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int port_ = 0;
};

}  // namespace tessel::test
